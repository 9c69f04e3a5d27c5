#include "SharedUnit.h"

#include <utility>
#include "CodePage.h"
#include "Log.h"
#include "UnitProcIP.h"

namespace bridge {
namespace {

std::string InputText(std::uint8_t state) {
  const int input = kdt::InputOf(state);
  return input != 0 ? "INPUT " + std::to_string(input)
                    : "input bits " + std::to_string(kdt::InputBits(state));
}

std::string NameText(const std::string& bytes) {
  std::string text = "\"";
  text += kdt::PrintableText(bytes);
  text += '"';
  return text;
}

}  // namespace

std::string RelaysText(const kdt::UnitStatus& status) {
  std::string text;
  for (int relay : kdt::kRelaysLeftToRight) {
    const std::uint8_t state = status.state[relay - 1];
    std::string part = kdt::RelayLabel(relay);
    part += " ";
    part += InputText(state);
    part += kdt::IsLocked(state) ? " locked " : " ";
    part += NameText(status.name[relay - 1]);
    AddPart(text, part);
  }
  return text;
}

SharedUnit::SharedUnit(const UnitConfig& config, bool verbose)
    : config_(config), verbose_(verbose) {
  session_.OnConnect.Bind(this, &SharedUnit::SessionConnect);
  session_.OnDisconnect.Bind(this, &SharedUnit::SessionDisconnect);
  session_.OnStatus.Bind(this, &SharedUnit::SessionStatus);
  session_.OnCommandReply.Bind(this, &SharedUnit::SessionCommandReply);
  if (config_.listen) {
    endpoint_ =
        std::make_unique<SharedEndpoint>(config_, static_cast<SharedSession&>(*this), verbose_);
  }
  retry_.setInterval(kRetryPeriodMs);
  connect(&retry_, &QTimer::timeout, this, &SharedUnit::Retry);
  retry_.start();
  Retry();
}

SharedUnit::~SharedUnit() {
  retry_.stop();
  endpoint_.reset();
  session_.Stop();
  FailWaiting();
  if (live_) Say("goodbye");
}

void SharedUnit::Reconfigure(const UnitConfig& config) {
  const bool listenChanged = config.listen != config_.listen;
  config_ = config;
  if (listenChanged) {
    endpoint_.reset();  // its clients go with it
    if (config_.listen) {
      endpoint_ =
          std::make_unique<SharedEndpoint>(config_, static_cast<SharedSession&>(*this), verbose_);
      endpoint_->Listen();
    }
  } else if (endpoint_) {
    endpoint_->Reconfigure(config_);
  }
}

void SharedUnit::Say(const std::string& text) const {
  Log(config_.id + ": " + text);
}

std::string SharedUnit::Where() const {
  return kdt::IPToStr(config_.address) + ":" + std::to_string(config_.port);
}

std::string SharedUnit::Reason() const {
  return session_.LastError() == 0
             ? "the unit's reply was not valid"
             : tcp::SockErrorText(session_.LastError(), kdt::kTransferTimeoutMs);
}

void SharedUnit::Retry() {
  if (endpoint_) endpoint_->Listen();
  if (!session_.IsRunning()) {
    session_.Start(kdt::IPToStr(config_.address), config_.port, config_.intervalMs);
  }
}

const Protect* SharedUnit::ProtectOf(int relay) const {
  return protects_ != nullptr ? protects_->Of(config_.id, relay) : nullptr;
}

kdt::ReplyBytes SharedUnit::Served(const kdt::ReplyBytes& reply) const {
  kdt::ReplyBytes served = reply;
  for (int relay = 1; relay <= kdt::kRelayCount; ++relay) {
    if (ProtectOf(relay) == nullptr) continue;
    std::uint8_t& state =
        served[kdt::kReplyFirstRelayOffset + std::size_t(relay - 1) * kdt::kReplyRelayBlockLength];
    state = kdt::WithLock(state, true);
  }
  if (served != reply) kdt::CompleteFrame(served);
  return served;
}

// Every command passes here, whoever sent it: the one place where a protect
// holds.
Submitted SharedUnit::Submit(QueuedCommand command, bool newestWins) {
  if (!live_) return Submitted::kUnitDown;
  kdt::ClientFrame what;
  if (protects_ != nullptr && kdt::ReadClientFrame(command.frame, what) &&
      (what.code == kdt::kCmdSetInput || what.code == kdt::kCmdSetName) &&
      !protects_->Allows(config_.id, what.relay, command.owner)) {
    return Submitted::kProtected;
  }
  const Submitted submitted = waiting_.Add(std::move(command), newestWins);
  SendNext();
  return submitted;
}

// One command with the session at a time: the next waits for its turn here,
// where a newer one can still replace it and every source takes its turn.
void SharedUnit::SendNext() {
  while (!sent_ && live_ && !waiting_.Empty()) {
    QueuedCommand next = waiting_.Take();
    const std::uint32_t token = ++nextToken_;
    kdt::ClientFrame what;
    kdt::ReadClientFrame(next.frame, what);
    if (session_.QueueCommand(next.frame, token)) {
      sent_ = Sent{token, what, std::move(next.done), std::move(next.by)};
    } else if (next.done) {
      next.done(nullptr);
    }
  }
}

// The connection has ended: nothing that waits will reach the unit.
void SharedUnit::FailWaiting() {
  if (auto sent = std::exchange(sent_, std::nullopt); sent && sent->done) sent->done(nullptr);
  for (QueuedCommand& command : waiting_.TakeAll()) {
    if (command.done) command.done(nullptr);
  }
}

void SharedUnit::SetObserver(std::function<void(const SharedUnit&)> observer) {
  observer_ = std::move(observer);
}

void SharedUnit::SetRecorder(std::function<void(LogEntry)> recorder) {
  recorder_ = std::move(recorder);
}

void SharedUnit::Changed() const {
  if (observer_) observer_(*this);
}

void SharedUnit::Record(LogEntry entry) {
  entry.time = EntryTime();
  entry.unit = config_.id;
  if (recorder_) recorder_(std::move(entry));
}

void SharedUnit::RecordConnection(const std::string& to) {
  if (to == connection_) return;
  Record({0, "", "", "", "connection", std::exchange(connection_, to), to, kByBridge, ""});
}

// A change that the command with the unit asked for is its sender's; any
// other is the unit's own (its front panel, or a program connected to it).
std::string SharedUnit::CauseOf(std::uint8_t code, int relay) const {
  return sent_ && sent_->what.code == code && sent_->what.relay == relay ? sent_->by : kByUnit;
}

// One entry, and one log line, per change of each relay.
void SharedUnit::RecordRelays(const kdt::UnitStatus& before, const kdt::UnitStatus& now) {
  for (int relay : kdt::kRelaysLeftToRight) {
    const std::uint8_t was = before.state[relay - 1], is = now.state[relay - 1];
    const std::string letter(1, kdt::RelayLetter(relay));
    std::vector<LogEntry> changes;
    if (kdt::InputBits(was) != kdt::InputBits(is)) {
      changes.push_back({0, "", "", letter, "input", InputText(was), InputText(is),
                         CauseOf(kdt::kCmdSetInput, relay), ""});
    }
    if (kdt::IsLocked(was) != kdt::IsLocked(is)) {
      changes.push_back({0, "", "", letter, "lock", kdt::IsLocked(was) ? "locked" : "unlocked",
                         kdt::IsLocked(is) ? "locked" : "unlocked", kByUnit, ""});
    }
    if (before.name[relay - 1] != now.name[relay - 1]) {
      changes.push_back({0, "", "", letter, "name", kdt::DecodeToUtf8(before.name[relay - 1]),
                         kdt::DecodeToUtf8(now.name[relay - 1]), CauseOf(kdt::kCmdSetName, relay),
                         ""});
    }
    for (LogEntry& entry : changes) {
      entry.unit = config_.id;
      Log(EntryLine(entry));
      Record(std::move(entry));
    }
  }
}

void SharedUnit::SessionConnect(kdt::TQmObject*, bool connected) {
  if (connected) return;
  Down("cannot connect to " + Where(), Reason());
}

void SharedUnit::SessionDisconnect(kdt::TQmObject*, std::int32_t code) {
  if (code == kdt::kResultRequested) return;
  const bool wasLive = std::exchange(live_, false);
  downReason_ = Reason();
  FailWaiting();  // whoever they answer sees the unit down, and why
  if (!wasLive) {
    Down("cannot connect to " + Where(), Reason());  // the first exchange failed
    return;
  }
  if (endpoint_) endpoint_->CloseAll("the unit is not connected");
  down_.Up();
  Down("lost", Reason());
}

// One line when the unit goes down; while it stays down, a reminder now and
// then, never a line per attempt.
void SharedUnit::Down(const std::string& what, const std::string& reason) {
  downReason_ = reason;
  known_ = true;
  RecordConnection("lost: " + reason);
  if (const auto line = down_.Line(what + ": " + reason + "; trying again every second",
                                   "still down: " + what + ": " + reason)) {
    Say(*line);
  }
  Changed();
}

void SharedUnit::SessionStatus(kdt::TQmObject* sender) {
  const kdt::UnitStatus now = kdt::DecodeReply(sender->LastReply());
  if (!live_) {
    live_ = true;
    known_ = true;
    down_.Up();
    Say("connected to " + Where() + ", model " + std::to_string(now.model) + ": " +
        RelaysText(now));
    RecordConnection("connected");
  } else {
    if (now.model != status_.model) {
      Say("model " + std::to_string(status_.model) + " -> " + std::to_string(now.model));
    }
    RecordRelays(status_, now);
  }
  status_ = now;
  Changed();
}

void SharedUnit::SessionCommandReply(kdt::TQmObject*, std::uint32_t token,
                                     const kdt::ReplyBytes& reply) {
  if (!sent_ || sent_->token != token) return;  // of a connection that has ended
  const auto done = std::exchange(sent_, std::nullopt)->done;
  if (done) done(&reply);
  SendNext();
}

}  // namespace bridge
