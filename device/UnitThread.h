// The device session: one connection to a KDT-212 unit, run by a worker
// thread that polls back to back, sends queued commands in place of polls,
// notices changes of the unit's status and measures the exchange rate. The
// worker never touches the window thread's data: it posts notifications to
// the hidden ThreadWindow, which updates the session's status snapshot and
// calls its event handlers on the main thread.
#pragma once

#include <QEvent>
#include <QObject>
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "EventHandler.h"
#include "ManualResetEvent.h"
#include "UnitFrames.h"

namespace kdt {

// Message numbers between the threads, kept from the unit's original console.
constexpr int kMsgCommand = 1025;
constexpr int kMsgStatus = 1026;
constexpr int kMsgConnect = 1027;
constexpr int kMsgEnded = 1028;
constexpr int kMsgRate = 1029;

// Why a session ended, as OnDisconnect reports it.
constexpr int kResultRequested = 0;
constexpr int kResultSendFailed = 1001;
constexpr int kResultReceiveFailed = 1002;

constexpr int kConnectTimeoutMs = 3000;
constexpr std::uint32_t kRateReportMs = 500;

// The Qt event type that carries message `message`.
constexpr QEvent::Type EventTypeOf(int message) {
  return static_cast<QEvent::Type>(QEvent::User + message);
}

// Exchanges per second, rounded to the nearest integer with halves to even.
std::int32_t RateFromCount(std::uint32_t exchanges, std::uint32_t elapsedMs);

// The hidden object on the main thread that receives every session's
// notifications. Created at module start-up, destroyed at shut-down.
extern QObject* ThreadWindow;
QObject* CreateThreadWindow();
void UnitThreadStartup();
void UnitThreadShutdown();

// A notification from a worker: the session's id, one value, and for a
// status the reply, owned here so that an event never delivered still
// releases it.
class SessionEvent final : public QEvent {
 public:
  // Recycled memory: a quiet connection posts a rate twice a second for as
  // long as it lasts, and must not allocate for it.
  static void* operator new(std::size_t size);
  static void operator delete(void* p, std::size_t size);

  SessionEvent(int message, std::uint32_t sessionId, std::int32_t param,
               std::unique_ptr<ReplyBytes> block = nullptr)
      : QEvent(EventTypeOf(message)), session(sessionId), value(param), reply(std::move(block)) {}
  const std::uint32_t session;
  const std::int32_t value;
  std::unique_ptr<ReplyBytes> reply;
};

class TQmObject {
 public:
  TQmObject();
  virtual ~TQmObject();
  TQmObject(const TQmObject&) = delete;
  TQmObject& operator=(const TQmObject&) = delete;

  // Starts a worker for one connection. Returns false when already running,
  // and always in the asynchronous mode: the outcome then follows as a
  // connect-result or ended notification.
  bool Start(const std::string& host, int port, std::uint32_t interval);
  // Ends the connection with the goodbye and waits for the worker to end.
  void Stop();
  bool IsRunning() const { return running_; }
  bool IsConnected() const { return running_ && socket_ != tcp::kInvalidSocket; }

  // Commands; dropped without a report unless the session is connected.
  void SendSetInput(std::uint8_t input, std::uint8_t relay);
  // `name` is the unit's bytes; its first 24 go out.
  void SendSetName(std::string_view name, std::uint8_t relay);

  // The status snapshot: the last reply that differed from its predecessor.
  std::uint8_t HeaderByte() const { return snapshot_.header; }
  std::uint8_t Model() const { return snapshot_.model; }
  std::uint8_t RelayState(int relay) const { return snapshot_.state[relay - 1]; }
  const std::string& RelayName(int relay) const { return snapshot_.name[relay - 1]; }

  std::uint32_t Id() const { return id_; }

  // Start waits for the outcome of the first exchange.
  bool Synchronous = false;

  EventHandler<TQmObject*, bool> OnConnect;
  EventHandler<TQmObject*, std::int32_t> OnDisconnect;
  EventHandler<TQmObject*> OnStatus;
  EventHandler<TQmObject*, std::int32_t> OnRate;

 private:
  friend class ThreadWindowObject;
  void Deliver(SessionEvent& event);

  bool QueueFrame(const Frame& frame);
  bool TakeCommand(std::uint8_t* buffer);
  void DiscardCommands();
  void WorkerRoutine();
  int RunExchanges();
  bool ConnectUnit();
  void SendGoodbye();
  void Post(int message, std::int32_t value, std::unique_ptr<ReplyBytes> reply = nullptr);

  const std::uint32_t id_;
  QObject* const window_;
  std::thread worker_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_{true};
  std::atomic<tcp::Socket> socket_{tcp::kInvalidSocket};
  ManualResetEvent ready_{true};

  // Written by Start before the worker exists, only read by it.
  std::string host_ = "127.0.0.1";
  int port_ = kUnitPort;
  std::uint32_t interval_ = 0;

  std::mutex commandMutex_;
  std::deque<Frame> commands_;

  UnitStatus snapshot_;  // main thread only
};

}  // namespace kdt
