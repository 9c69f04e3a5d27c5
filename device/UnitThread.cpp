#include "UnitThread.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <unordered_map>

#include "Platform.h"
#include "UnitThreadEvents.h"

#ifdef KDT_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace kdt {
namespace {

// Qt's libraries are not built for ThreadSanitizer, so it cannot see the lock
// inside postEvent: the hand-over of each event is announced to it here.
void AnnounceRelease(const void* event) {
#ifdef KDT_TSAN
  __tsan_release(const_cast<void*>(event));
#else
  (void)event;
#endif
}

void AnnounceAcquire(const void* event) {
#ifdef KDT_TSAN
  __tsan_acquire(const_cast<void*>(event));
#else
  (void)event;
#endif
}

// Live sessions by id, on the main thread only. A notification names its
// session by an id that is never reused, so one still queued for a session
// that has since been destroyed finds nothing here and touches nothing.
std::unordered_map<std::uint32_t, TQmObject*>& Sessions() {
  static std::unordered_map<std::uint32_t, TQmObject*> sessions;
  return sessions;
}

std::uint32_t NextSessionId() {
  static std::atomic<std::uint32_t> next{0};
  return ++next;
}

// A free list of event-sized blocks, linked through the blocks themselves, so
// that taking and giving back never allocates.
class EventPool {
 public:
  void* Take(std::size_t size) {
    {
      std::lock_guard lock(mutex_);
      if (head_ != nullptr) {
        Block* block = head_;
        head_ = block->next;
        --count_;
        return block;
      }
    }
    return ::operator new(std::max(size, sizeof(Block)));
  }
  void Give(void* p) {
    std::lock_guard lock(mutex_);
    if (count_ >= kKeep) {
      ::operator delete(p);
      return;
    }
    head_ = new (p) Block{head_};
    ++count_;
  }

 private:
  struct Block {
    Block* next;
  };
  static constexpr int kKeep = 64;  // a burst of statuses is not kept for ever
  std::mutex mutex_;
  Block* head_ = nullptr;
  int count_ = 0;
};

EventPool& Pool() {
  static EventPool pool;
  return pool;
}

bool IsNotification(QEvent::Type type) {
  return type >= EventTypeOf(kMsgStatus) && type <= EventTypeOf(kMsgCommandReply);
}

}  // namespace

class ThreadWindowObject final : public QObject {
 protected:
  bool event(QEvent* e) override {
    AnnounceAcquire(e);  // before anything of the event is read, its type included
    if (!IsNotification(e->type())) return QObject::event(e);
    auto* notification = static_cast<SessionEvent*>(e);
    auto found = Sessions().find(notification->session);
    if (found != Sessions().end()) found->second->Deliver(*notification);
    return true;
  }
};

void* SessionEvent::operator new(std::size_t size) {
  return Pool().Take(size);
}
void SessionEvent::operator delete(void* p, std::size_t) {
  Pool().Give(p);
}

QObject* ThreadWindow = nullptr;

namespace {

// Workers post while the main thread may be shutting the module down: the
// window is replaced and destroyed only under this lock, and a session posts
// only to the window it was made with, identified by its generation.
std::mutex windowMutex;
std::uint64_t windowGeneration = 0;

// Posts the event, or refuses it and releases what it carries.
void PostToThreadWindow(SessionEvent* event, std::uint64_t generation) {
  std::lock_guard lock(windowMutex);
  if (ThreadWindow == nullptr || generation != windowGeneration) {
    delete event;
    return;
  }
  AnnounceRelease(event);
  QCoreApplication::postEvent(ThreadWindow, event);
}

// The generation of the window in place; false when there is none.
bool CurrentWindowGeneration(std::uint64_t& generation) {
  std::lock_guard lock(windowMutex);
  generation = windowGeneration;
  return ThreadWindow != nullptr;
}

}  // namespace

QObject* CreateThreadWindow() {
  auto* window = new ThreadWindowObject;
  window->setObjectName("QmThreadWindow");
  return window;
}

void UnitThreadStartup() {
  QObject* window = CreateThreadWindow();
  std::lock_guard lock(windowMutex);
  ThreadWindow = window;
  ++windowGeneration;
}

void UnitThreadShutdown() {
  QObject* window = nullptr;
  {
    std::lock_guard lock(windowMutex);
    std::swap(window, ThreadWindow);
    ++windowGeneration;
  }
  delete window;  // drops, and so releases, whatever is still queued for it
}

std::int32_t RateFromCount(std::uint32_t exchanges, std::uint32_t elapsedMs) {
  // nearbyint rounds halves to even in the default rounding mode.
  return static_cast<std::int32_t>(std::nearbyint(double(exchanges) * 1000.0 / double(elapsedMs)));
}

TQmObject::TQmObject() : id_(NextSessionId()) {
  snapshot_.state = {1, 1, 1};
  Sessions()[id_] = this;
}

TQmObject::~TQmObject() {
  Stop();
  Sessions().erase(id_);
}

bool TQmObject::Start(const std::string& host, int port, std::uint32_t interval) {
  if (IsRunning()) return false;
  if (worker_.joinable()) worker_.join();  // a worker that ended by itself
  if (!CurrentWindowGeneration(windowGeneration_)) {
    startProblem_ = "the session's event delivery has not started (UnitThreadStartup)";
    qWarning("TQmObject::Start refused: %s", startProblem_.c_str());
    return false;
  }
  startProblem_.clear();
  // Nothing queued for an earlier connection may reach this one.
  DiscardCommands();
  interval_ = interval;
  host_ = host;
  port_ = port;
  synchronous_ = Synchronous;
  mailbox_ = std::make_shared<StatusMailbox>();
  stop_ = false;
  abandon_ = false;
  ready_.Reset();
  finished_.Reset();
  running_ = true;
  try {
    worker_ = std::thread(&TQmObject::WorkerRoutine, this);
  } catch (const std::system_error& e) {
    running_ = false;
    finished_.Set();
    startProblem_ = std::string("no worker thread: ") + e.what();
    return false;
  }
  if (!synchronous_) return false;
  ready_.Wait();
  if (stop_) {
    worker_.join();
    return false;
  }
  return true;
}

// The exchange in flight may finish, and a responsive unit gets its goodbye
// and has its reply read; a unit that does not answer within the grace is
// given up, so that the window never waits on it.
void TQmObject::Stop() {
  if (!worker_.joinable()) return;  // idle, and any earlier worker joined
  {
    std::lock_guard lock(commandMutex_);  // so that a pause just beginning sees it
    stop_ = true;
  }
  wake_.notify_all();
  if (!finished_.WaitFor(std::chrono::milliseconds(kStopGraceMs))) abandon_ = true;
  worker_.join();
}

void TQmObject::SendSetInput(std::uint8_t input, std::uint8_t relay) {
  if (IsConnected()) QueueFrame(SetInputFrame(input, relay));
}

void TQmObject::SendSetName(std::string_view name, std::uint8_t relay) {
  if (IsConnected()) QueueFrame(SetNameFrame(relay, name));
}

bool TQmObject::QueueCommand(const Frame& frame, std::uint32_t token) {
  return QueueFrame(frame, token);
}

bool TQmObject::QueueFrame(const Frame& frame, std::optional<std::uint32_t> replyToken) {
  if (!IsConnected()) return false;
  {
    std::lock_guard lock(commandMutex_);
    commands_.push_back({frame, replyToken});
  }
  wake_.notify_all();
  return true;
}

bool TQmObject::TakeCommand(FrameBuffer& buffer, std::optional<std::uint32_t>& replyToken) {
  std::lock_guard lock(commandMutex_);
  if (commands_.empty()) return false;
  LoadFrame(buffer, commands_.front().frame);
  replyToken = commands_.front().replyToken;
  commands_.pop_front();
  return true;
}

void TQmObject::DiscardCommands() {
  std::lock_guard lock(commandMutex_);
  commands_.clear();
}

bool TQmObject::ConnectUnit(UnitLink& link) {
  lastError_ = 0;
  if (!link.Connect(host_, port_, kConnectTimeoutMs, &abandon_)) {
    lastError_ = link.Error();
    return false;
  }
  socket_ = link.Handle();
  return true;
}

// The goodbye is sent whenever the socket takes it; its reply is awaited for
// `replyTimeoutMs`, or until a stop's grace is over.
void TQmObject::SendGoodbye(UnitLink& link, std::uint32_t replyTimeoutMs) {
  link.Goodbye(replyTimeoutMs, &abandon_);
  socket_ = tcp::kInvalidSocket;
  link.Close();
}

void TQmObject::WorkerRoutine() {
  NameThisThread("kdt212 session");
  UseFineTimerSlack();  // the pause before each exchange is a millisecond or so
  int result = kResultRequested;
  UnitLink link;
  bool connectionMade = ConnectUnit(link);
  if (connectionMade) {
    result = RunExchanges(link);
    // A unit that has just failed to answer is not waited for again.
    SendGoodbye(link, result == kResultRequested ? kTransferTimeoutMs : kGoodbyeAfterFailureMs);
  } else {
    stop_ = true;
    if (!synchronous_) Post(kMsgConnect, 0);
  }
  // Commands still waiting were meant for this connection only.
  DiscardCommands();
  ready_.Set();
  running_ = false;
  if (connectionMade) Post(kMsgEnded, result);
  finished_.Set();
}

// An exchange that failed because Stop gave up on the unit ended on request.
int TQmObject::ExchangeFailed(int result, int error) {
  stop_ = true;
  if (abandon_) return kResultRequested;
  lastError_ = error;
  return result;
}

// The pause before an exchange. A long interval only spaces out the polls:
// a command queued meanwhile goes at once, and Stop does not wait it out.
// False when Stop has come.
bool TQmObject::Pause() {
  std::unique_lock lock(commandMutex_);
  if (interval_ != 0) {
    wake_.wait_for(lock, std::chrono::milliseconds(interval_),
                   [this] { return stop_ || !commands_.empty(); });
  }
  return !stop_;
}

// The exchange loop: one frame, one reply, back to back, until the stop flag
// is raised. Returns the result code.
int TQmObject::RunExchanges(UnitLink& link) {
  FrameBuffer buffer;
  ReplyBytes previous{};
  const Frame poll = PollFrame();
  std::uint32_t exchanges = 0;
  std::uint32_t rateStart = tcp::TickCount();
  bool firstCycle = true;
  for (;;) {
    // The first exchange tells the connect result: it goes at once, and a
    // Stop during the attempt still lets it run.
    if (!firstCycle && !Pause()) return kResultRequested;
    // The first exchange is always a poll, so the first status comes first.
    std::optional<std::uint32_t> replyToken;
    if (firstCycle || !TakeCommand(buffer, replyToken)) LoadFrame(buffer, poll);
    const UnitLink::Outcome outcome = link.Exchange(buffer, &abandon_);
    if (outcome == UnitLink::Outcome::kSendFailed) {
      return ExchangeFailed(kResultSendFailed, link.Error());
    }
    if (outcome != UnitLink::Outcome::kDone) {
      return ExchangeFailed(kResultReceiveFailed, link.Error());
    }
    ++exchanges;
    bool changed = true;
    if (firstCycle) {
      firstCycle = false;
      ready_.Set();
      Post(kMsgConnect, 1);
      rateStart = tcp::TickCount();
    } else {
      changed = !RepliesEqual(ReplyIn(buffer), previous);
      const std::uint32_t now = tcp::TickCount();
      if (now - rateStart >= kRateReportMs) {
        Post(kMsgRate, RateFromCount(exchanges, now - rateStart));
        rateStart = now;
        exchanges = 0;
      }
    }
    if (changed) {
      std::ranges::copy(ReplyIn(buffer), previous.begin());
      PostStatus(previous);
    }
    if (replyToken) PostCommandReply(*replyToken, ReplyIn(buffer));
    if (stop_) return kResultRequested;
  }
}

void TQmObject::PostStatus(const ReplyBytes& reply) {
  {
    std::lock_guard lock(mailbox_->mutex);
    mailbox_->reply = reply;
    if (mailbox_->waiting) return;  // the notification on its way will carry it
    mailbox_->waiting = true;
  }
  Post(kMsgStatus, 0, mailbox_);
}

void TQmObject::PostCommandReply(std::uint32_t token, ReplyView reply) {
  auto* event = new SessionEvent(kMsgCommandReply, id_, std::int32_t(token));
  std::ranges::copy(reply, event->reply.begin());
  PostToThreadWindow(event, windowGeneration_);
}

void TQmObject::Post(int message, std::int32_t value, std::shared_ptr<StatusMailbox> mailbox) {
  PostToThreadWindow(new SessionEvent(message, id_, value, std::move(mailbox)), windowGeneration_);
}

void TQmObject::Deliver(SessionEvent& event) {
  switch (event.type() - QEvent::User) {
    case kMsgStatus: {
      ReplyBytes reply;
      {
        std::lock_guard lock(event.mailbox->mutex);
        reply = event.mailbox->reply;
        event.mailbox->waiting = false;
      }
      lastReply_ = reply;
      snapshot_ = DecodeReply(reply);
      OnStatus(this);
      break;
    }
    case kMsgConnect:
      OnConnect(this, event.value != 0);
      break;
    case kMsgEnded:
      OnDisconnect(this, event.value);
      break;
    case kMsgRate:
      OnRate(this, event.value);
      break;
    case kMsgCommandReply:
      OnCommandReply(this, std::uint32_t(event.value), event.reply);
      break;
  }
}

}  // namespace kdt
