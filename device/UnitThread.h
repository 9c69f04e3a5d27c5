// The device session: one connection to a KDT-212 unit, run by a worker
// thread that polls back to back, sends queued commands in place of polls,
// notices changes of the unit's status and measures the exchange rate. The
// worker never touches the window thread's data: it posts notifications to
// the hidden ThreadWindow, which updates the session's status snapshot and
// calls its event handlers on the main thread.
#pragma once

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "EventHandler.h"
#include "ManualResetEvent.h"
#include "UnitFrames.h"
#include "UnitLink.h"

namespace kdt {

// Message numbers between the threads, kept from the unit's original console.
constexpr int kMsgCommand = 1025;
constexpr int kMsgStatus = 1026;
constexpr int kMsgConnect = 1027;
constexpr int kMsgEnded = 1028;
constexpr int kMsgRate = 1029;
// A queued command's own reply, for whoever queued it (QueueCommand).
constexpr int kMsgCommandReply = 1030;

// Why a session ended, as OnDisconnect reports it.
constexpr int kResultRequested = 0;
constexpr int kResultSendFailed = 1001;
constexpr int kResultReceiveFailed = 1002;

constexpr int kConnectTimeoutMs = 3000;
constexpr std::uint32_t kRateReportMs = 500;
// How long the end of a connection may wait for the unit: after a stop
// request, for the exchange in flight and the goodbye's reply together; after
// a failed exchange, for the goodbye's reply.
constexpr int kStopGraceMs = 100;
constexpr std::uint32_t kGoodbyeAfterFailureMs = 100;

// Exchanges per second, rounded to the nearest integer with halves to even.
std::int32_t RateFromCount(std::uint32_t exchanges, std::uint32_t elapsedMs);

// The hidden object on the main thread that receives every session's
// notifications. Created at module start-up, destroyed at shut-down; a
// notification posted after that is refused and lost.
extern QObject* ThreadWindow;
QObject* CreateThreadWindow();
void UnitThreadStartup();
void UnitThreadShutdown();

class SessionEvent;
struct StatusMailbox;

class TQmObject {
 public:
  TQmObject();
  virtual ~TQmObject();
  TQmObject(const TQmObject&) = delete;
  TQmObject& operator=(const TQmObject&) = delete;

  // Starts a worker for one connection. Returns false when already running,
  // and always in the asynchronous mode: the outcome then follows as a
  // connect-result or ended notification. A session may be made at any time,
  // but started only while the event delivery runs (UnitThreadStartup):
  // otherwise nothing could ever report the outcome, and Start refuses,
  // with the reason in StartProblem().
  bool Start(const std::string& host, int port, std::uint32_t interval);
  // Why the last Start made no worker; empty when it made one.
  const std::string& StartProblem() const { return startProblem_; }
  // Ends the connection with the goodbye and waits for the worker to end,
  // at most about kStopGraceMs whatever the unit does and whatever the
  // interval. When it returns, the worker's last notification has been
  // posted.
  void Stop();
  bool IsRunning() const { return running_; }
  bool IsConnected() const { return running_ && socket_ != tcp::kInvalidSocket; }

  // Commands; dropped without a report unless the session is connected.
  void SendSetInput(std::uint8_t input, std::uint8_t relay);
  // `name` is the unit's bytes; its first 24 go out.
  void SendSetName(std::string_view name, std::uint8_t relay);
  // Any frame, queued as the commands above, whose reply comes back with
  // `token` through OnCommandReply, after the status it may have changed:
  // for those who share the session and must answer each command with the
  // unit's own reply. False, and nothing queued, unless connected. A
  // command still queued when the connection ends gets no reply.
  bool QueueCommand(const Frame& frame, std::uint32_t token);

  // The status snapshot: the last reply that differed from its predecessor.
  std::uint8_t HeaderByte() const { return snapshot_.header; }
  std::uint8_t Model() const { return snapshot_.model; }
  std::uint8_t RelayState(int relay) const { return snapshot_.state[relay - 1]; }
  const std::string& RelayName(int relay) const { return snapshot_.name[relay - 1]; }
  // The same reply's bytes as the unit sent them.
  const ReplyBytes& LastReply() const { return lastReply_; }

  // The socket layer's reason why the last connection attempt failed or the
  // last connection was lost, read when OnConnect(false) or OnDisconnect
  // comes (words: tcp::SockErrorText). 0 for a reply that was not valid, and
  // for an end on request.
  int LastError() const { return lastError_; }
  // Start waits for the outcome of the first exchange. Taken at Start.
  bool Synchronous = false;

  EventHandler<TQmObject*, bool> OnConnect;
  EventHandler<TQmObject*, std::int32_t> OnDisconnect;
  EventHandler<TQmObject*> OnStatus;
  EventHandler<TQmObject*, std::int32_t> OnRate;
  EventHandler<TQmObject*, std::uint32_t, const ReplyBytes&> OnCommandReply;

 private:
  friend class ThreadWindowObject;
  void Deliver(SessionEvent& event);

  bool QueueFrame(const Frame& frame, std::optional<std::uint32_t> replyToken = std::nullopt);
  bool TakeCommand(FrameBuffer& buffer, std::optional<std::uint32_t>& replyToken);
  void DiscardCommands();
  void WorkerRoutine();
  bool Pause();
  int RunExchanges(UnitLink& link);
  int ExchangeFailed(int result, int error);
  bool ConnectUnit(UnitLink& link);
  void SendGoodbye(UnitLink& link, std::uint32_t replyTimeoutMs);
  void PostStatus(const ReplyBytes& reply);
  void PostCommandReply(std::uint32_t token, ReplyView reply);
  void Post(int message, std::int32_t value, std::shared_ptr<StatusMailbox> mailbox = nullptr);

  const std::uint32_t id_;
  std::thread worker_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_{true};
  std::atomic<bool> abandon_{false};  // Stop's grace is over: give up waiting for the unit
  std::atomic<tcp::Socket> socket_{tcp::kInvalidSocket};
  std::atomic<int> lastError_{0};
  ManualResetEvent ready_{true};
  ManualResetEvent finished_{true};

  // Written by Start before the worker exists, only read by it.
  std::uint64_t windowGeneration_ = 0;  // of the ThreadWindow it posts to
  std::string host_ = "127.0.0.1";
  int port_ = kUnitPort;
  std::uint32_t interval_ = 0;
  bool synchronous_ = false;
  std::shared_ptr<StatusMailbox> mailbox_;  // one per connection

  struct QueuedCommand {
    Frame frame;
    std::optional<std::uint32_t> replyToken;
  };
  std::mutex commandMutex_;
  std::deque<QueuedCommand> commands_;
  // Wakes the pause before an exchange: a command was queued, or Stop came.
  std::condition_variable wake_;

  UnitStatus snapshot_;  // main thread only
  ReplyBytes lastReply_{};
  std::string startProblem_;
};

}  // namespace kdt
