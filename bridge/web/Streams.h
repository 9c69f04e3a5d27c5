// The page's event streams, which stay open while the server answers a
// request once and is done with it: each keeps its answer and the socket,
// takes every event sent to all, and is sent a comment every 15 s so that
// nobody takes it for dead. One whose client leaves 256 KiB unread is closed,
// and its client comes back for a fresh snapshot; one whose session ends
// goes with it.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Log.h"
#include "web/Reply.h"
#include "web/Transport.h"

namespace bridge {

class EventStreams : public QObject {
 public:
  static constexpr qint64 kMostUnread = 256 * 1024;
  static constexpr int kCommentEveryMs = 15000;

  explicit EventStreams(HttpTransport& transport);
  ~EventStreams() override;

  // A stream begins with its first event, for the session of `token`
  // (empty without USERS).
  void Open(std::unique_ptr<WebReply> reply, const std::string& token, const QByteArray& first);
  // Those of the session, or those of sessions that have ended.
  void Close(const std::string& token);
  void CloseIf(const std::function<bool(const std::string& token)>& ended);
  // To every stream.
  void Broadcast(const QByteArray& event);
  // To each stream what `eventFor` gives for its session; nothing where it
  // gives nothing.
  void Tell(const std::function<QByteArray(const std::string& token)>& eventFor);

 private:
  struct Stream {
    std::unique_ptr<WebReply> reply;
    std::string token;
  };

  HttpTransport& transport_;
  std::vector<Stream> streams_;
  QTimer comments_;
  LogThrottle throttle_;
};

}  // namespace bridge
