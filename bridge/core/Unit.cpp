#include "core/Unit.h"

#include <utility>

#include "CodePage.h"
#include "UnitProcIP.h"
#include "core/Log.h"

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

Unit::Unit(const UnitConfig& config, Record& record, std::function<void(const Unit&)> changed)
    : config_(config), record_(record), changed_(std::move(changed)) {
  session_.OnConnect.Bind(this, &Unit::SessionConnect);
  session_.OnDisconnect.Bind(this, &Unit::SessionDisconnect);
  session_.OnStatus.Bind(this, &Unit::SessionStatus);
  session_.OnCommandReply.Bind(this, &Unit::SessionCommandReply);
  retry_.setInterval(kRetryPeriodMs);
  connect(&retry_, &QTimer::timeout, this, &Unit::Retry);
  retry_.start();
  Retry();
}

Unit::~Unit() {
  retry_.stop();
  session_.Stop();
  FailWaiting();
  if (live_) Say("goodbye");
}

void Unit::Say(const std::string& text) const {
  Log(config_.id + ": " + text);
}

std::string Unit::Where() const {
  return kdt::IPToStr(config_.address) + ":" + std::to_string(config_.port);
}

std::string Unit::Reason() const {
  return session_.LastError() == 0
             ? "the unit's reply was not valid"
             : tcp::SockErrorText(session_.LastError(), kdt::kTransferTimeoutMs);
}

void Unit::Retry() {
  if (!session_.IsRunning()) {
    session_.Start(kdt::IPToStr(config_.address), config_.port, config_.intervalMs);
  }
}

CommandQueue::Added Unit::Queue(QueuedCommand queued) {
  const CommandQueue::Added added = waiting_.Add(std::move(queued));
  SendNext();
  return added;
}

// One command with the session at a time: the next waits for its turn in
// the queue, where a newer one can still replace it and every source takes
// its turn.
void Unit::SendNext() {
  while (!sent_ && live_ && !waiting_.Empty()) {
    QueuedCommand next = waiting_.Take();
    const std::uint32_t token = ++nextToken_;
    if (session_.QueueCommand(next.command.Frame(), token)) {
      sent_ = Sent{token, std::move(next)};
    } else if (next.answered) {
      next.answered(nullptr);
    }
  }
}

// The connection has ended: nothing that waits will reach the unit.
void Unit::FailWaiting() {
  if (auto sent = std::exchange(sent_, std::nullopt); sent && sent->queued.answered) {
    sent->queued.answered(nullptr);
  }
  for (QueuedCommand& queued : waiting_.TakeAll()) {
    if (queued.answered) queued.answered(nullptr);
  }
}

// A connection entry is said once for each change of the connection, as
// its log line: where the unit came up and what it showed, or why it went.
void Unit::RecordConnection(const std::string& to, const std::string& line) {
  record_.Add({.unit = config_.id,
               .change = "connection",
               .from = std::exchange(connection_, to),
               .to = to,
               .by = Owner::Bridge().Text(),
               .detail = line});
}

// A change that the command with the unit asked for is its sender's; any
// other is the unit's own (its front panel, or a program connected to it).
std::string Unit::CauseOf(Command::What what, int relay) const {
  if (sent_ && sent_->queued.command.what == what && sent_->queued.command.relay == relay) {
    return sent_->queued.command.by.Text();
  }
  return Owner::Unit().Text();
}

// The label of input 1 or 2 where the file gives one; empty otherwise.
std::string Unit::LabelOf(int input) const {
  if (input != kdt::kInput1 && input != kdt::kInput2) return {};
  const std::string& label = config_.InputLabel(input);
  return label == kDefaultInputLabels[std::size_t(input - 1)] ? std::string() : label;
}

// One entry, and so one log line, per change of each relay.
void Unit::RecordRelays(const kdt::UnitStatus& before, const kdt::UnitStatus& now) {
  for (int relay : kdt::kRelaysLeftToRight) {
    const std::uint8_t was = before.state[relay - 1], is = now.state[relay - 1];
    const std::string letter(1, kdt::RelayLetter(relay));
    const std::string name = kdt::DecodeToUtf8(now.name[relay - 1]);
    if (kdt::InputBits(was) != kdt::InputBits(is)) {
      record_.Add({.unit = config_.id,
                   .relay = letter,
                   .change = "input",
                   .from = InputText(was),
                   .to = InputText(is),
                   .by = CauseOf(Command::What::kInput, relay),
                   .relayName = name,
                   .fromLabel = LabelOf(kdt::InputOf(was)),
                   .toLabel = LabelOf(kdt::InputOf(is))});
    }
    if (kdt::IsLocked(was) != kdt::IsLocked(is)) {
      record_.Add({.unit = config_.id,
                   .relay = letter,
                   .change = "lock",
                   .from = kdt::IsLocked(was) ? "locked" : "unlocked",
                   .to = kdt::IsLocked(is) ? "locked" : "unlocked",
                   .by = Owner::Unit().Text(),
                   .relayName = name});
    }
    if (before.name[relay - 1] != now.name[relay - 1]) {
      record_.Add({.unit = config_.id,
                   .relay = letter,
                   .change = "name",
                   .from = kdt::DecodeToUtf8(before.name[relay - 1]),
                   .to = kdt::DecodeToUtf8(now.name[relay - 1]),
                   .by = CauseOf(Command::What::kName, relay)});
    }
  }
}

void Unit::SessionConnect(kdt::TQmObject*, bool connected) {
  if (connected) return;
  Down("cannot connect to " + Where(), Reason());
}

void Unit::SessionDisconnect(kdt::TQmObject*, std::int32_t code) {
  if (code == kdt::kResultRequested) return;
  const bool wasLive = std::exchange(live_, false);
  downReason_ = Reason();
  if (wasLive) {
    lostAt_ = EntryTime();
    connectedSince_.clear();
  }
  FailWaiting();  // whoever they answer sees the unit down, and why
  if (!wasLive) {
    Down("cannot connect to " + Where(), Reason());  // the first exchange failed
    return;
  }
  down_.Up();
  Down("lost", Reason());
}

// An entry when the unit goes down; while it stays down, a reminder now and
// then, never a line per attempt.
void Unit::Down(const std::string& what, const std::string& reason) {
  downReason_ = reason;
  known_ = true;
  switch (down_.Failed()) {
    case DownNotice::Say::kFirst:
      RecordConnection("lost: " + reason, what + ": " + reason + "; trying again every second");
      break;
    case DownNotice::Say::kReminder:
      Say("still down: " + what + ": " + reason);
      break;
    case DownNotice::Say::kNothing:
      break;
  }
  changed_(*this);
}

void Unit::SessionStatus(kdt::TQmObject* sender) {
  const kdt::UnitStatus now = kdt::DecodeReply(sender->LastReply());
  if (!live_) {
    live_ = true;
    known_ = true;
    down_.Up();
    connectedSince_ = EntryTime();
    lostAt_.clear();
    RecordConnection("connected", "connected to " + Where() + ", model " +
                                      std::to_string(now.model) + ": " + RelaysText(now));
  } else {
    if (now.model != status_.model) {
      Say("model " + std::to_string(status_.model) + " -> " + std::to_string(now.model));
    }
    RecordRelays(status_, now);
  }
  status_ = now;
  changed_(*this);
}

void Unit::SessionCommandReply(kdt::TQmObject*, std::uint32_t token, const kdt::ReplyBytes& reply) {
  if (!sent_ || sent_->token != token) return;  // of a connection that has ended
  const auto answered = std::exchange(sent_, std::nullopt)->queued.answered;
  if (answered) answered(&reply);
  SendNext();
}

}  // namespace bridge
