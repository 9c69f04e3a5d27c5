// How the session's notifications travel to the window thread; only the
// session's own module and its tests see this.
#pragma once

#include <QEvent>
#include <cstdint>
#include <memory>
#include <mutex>

#include "UnitFrames.h"

namespace kdt {

// The Qt event type that carries message `message`.
constexpr QEvent::Type EventTypeOf(int message) {
  return static_cast<QEvent::Type>(QEvent::User + message);
}

// The newest status of one connection, waiting for the window thread. While
// a status notification waits, a newer status replaces its content instead of
// queueing behind it, so a window thread that is held up finds one status,
// the newest, in its queue, whatever the unit did meanwhile.
struct StatusMailbox {
  std::mutex mutex;
  bool waiting = false;  // a status notification is on its way
  ReplyBytes reply{};
};

// A notification from a worker: the session's id and one value, or for a
// status the mailbox that holds it, or for a command's reply the reply
// itself. Owned by the event, so that an event never delivered still
// releases what it carries.
class SessionEvent final : public QEvent {
 public:
  // Recycled memory: a quiet connection posts a rate twice a second for as
  // long as it lasts, and must not allocate for it.
  static void* operator new(std::size_t size);
  static void operator delete(void* p, std::size_t size);

  SessionEvent(int message, std::uint32_t sessionId, std::int32_t param,
               std::shared_ptr<StatusMailbox> statusMailbox = nullptr)
      : QEvent(EventTypeOf(message)),
        session(sessionId),
        value(param),
        mailbox(std::move(statusMailbox)) {}
  const std::uint32_t session;
  const std::int32_t value;
  const std::shared_ptr<StatusMailbox> mailbox;
  ReplyBytes reply{};  // kMsgCommandReply
};

}  // namespace kdt
