#include "SharedUnit.h"

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

// Parts of a line, joined by ", ".
void AddPart(std::string& text, const std::string& part) {
  if (!text.empty()) text += ", ";
  text += part;
}

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

std::string ChangesText(const kdt::UnitStatus& before, const kdt::UnitStatus& now, int relay) {
  const std::uint8_t was = before.state[relay - 1], is = now.state[relay - 1];
  std::string text;
  if (kdt::InputBits(was) != kdt::InputBits(is)) {
    AddPart(text, InputText(was) + " -> " + InputText(is));
  }
  if (kdt::IsLocked(was) != kdt::IsLocked(is))
    AddPart(text, kdt::IsLocked(is) ? "locked" : "unlocked");
  if (before.name[relay - 1] != now.name[relay - 1]) {
    AddPart(text,
            "name " + NameText(before.name[relay - 1]) + " -> " + NameText(now.name[relay - 1]));
  }
  return text;
}

SharedUnit::SharedUnit(const UnitConfig& config, bool verbose) : config_(config) {
  session_.OnConnect.Bind(this, &SharedUnit::SessionConnect);
  session_.OnDisconnect.Bind(this, &SharedUnit::SessionDisconnect);
  session_.OnStatus.Bind(this, &SharedUnit::SessionStatus);
  session_.OnCommandReply.Bind(this, &SharedUnit::SessionCommandReply);
  if (config_.listen) {
    endpoint_ =
        std::make_unique<SharedEndpoint>(config_, static_cast<SharedSession&>(*this), verbose);
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
  if (live_) Say("goodbye");
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

bool SharedUnit::SendInput(int relay, int input) {
  if (!live_) return false;
  session_.SendSetInput(std::uint8_t(input), std::uint8_t(relay));
  return true;
}

bool SharedUnit::SendName(int relay, const std::string& bytes) {
  if (!live_) return false;
  session_.SendSetName(bytes, std::uint8_t(relay));
  return true;
}

void SharedUnit::SetObserver(std::function<void(const SharedUnit&)> observer) {
  observer_ = std::move(observer);
}

void SharedUnit::Changed() const {
  if (observer_) observer_(*this);
}

bool SharedUnit::QueueCommand(const kdt::Frame& frame, std::uint32_t token) {
  return live_ && session_.QueueCommand(frame, token);
}

void SharedUnit::SessionConnect(kdt::TQmObject*, bool connected) {
  if (connected) return;
  Down("cannot connect to " + Where(), Reason());
}

void SharedUnit::SessionDisconnect(kdt::TQmObject*, std::int32_t code) {
  if (code == kdt::kResultRequested) return;
  if (!live_) {
    Down("cannot connect to " + Where(), Reason());  // the first exchange failed
    return;
  }
  live_ = false;
  if (endpoint_) endpoint_->CloseAll("the unit is not connected");
  downSaid_ = false;
  Down("lost", Reason());
}

// One line when the unit goes down; while it stays down, a reminder now and
// then, never a line per attempt.
void SharedUnit::Down(const std::string& what, const std::string& reason) {
  downReason_ = reason;
  if (!downSaid_) {
    Say(what + ": " + reason + "; trying again every second");
    downSaid_ = true;
    reminded_.start();
  } else if (reminded_.elapsed() >= kDownReminderMs) {
    Say("still down: " + what + ": " + reason);
    reminded_.start();
  }
  Changed();
}

void SharedUnit::SessionStatus(kdt::TQmObject* sender) {
  const kdt::UnitStatus now = kdt::DecodeReply(sender->LastReply());
  if (!live_) {
    live_ = true;
    downSaid_ = false;
    Say("connected to " + Where() + ", model " + std::to_string(now.model) + ": " +
        RelaysText(now));
  } else {
    if (now.model != status_.model) {
      Say("model " + std::to_string(status_.model) + " -> " + std::to_string(now.model));
    }
    for (int relay : kdt::kRelaysLeftToRight) {
      const std::string changes = ChangesText(status_, now, relay);
      if (!changes.empty()) Say(kdt::RelayLabel(relay) + ": " + changes);
    }
  }
  status_ = now;
  Changed();
}

void SharedUnit::SessionCommandReply(kdt::TQmObject*, std::uint32_t token,
                                     const kdt::ReplyBytes& reply) {
  if (endpoint_) endpoint_->DeliverReply(token, reply);
}

}  // namespace bridge
