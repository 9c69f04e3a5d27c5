#include "UnitClient.h"

#include <cerrno>

namespace cli {
namespace {

// The goodbye's reply is a courtesy: it is not waited for longer than the
// console waits when it stops, so that a unit that answers everything but the
// goodbye does not hold up every run.
constexpr std::uint32_t kGoodbyeGraceMs = 100;

}  // namespace

UnitClient::UnitClient(std::string address, int port, std::uint32_t timeoutMs,
                       const std::atomic<bool>& interrupted)
    : address_(std::move(address)), port_(port), timeoutMs_(timeoutMs), interrupted_(interrupted) {}

UnitClient::~UnitClient() {
  Goodbye();
}

std::string UnitClient::Where() const {
  return address_ + ":" + std::to_string(port_);
}

// A connection closed before any reply was closed by whoever took it: a
// bridge that refuses this client, or one whose unit is down, as often as
// the unit itself.
std::string UnitClient::Reason() const {
  const int error = link_.Error();
  if (!replied_ && (error == tcp::kConnReset || error == ECONNRESET)) {
    return "closed before any reply";
  }
  return tcp::SockErrorText(error, timeoutMs_);
}

bool UnitClient::Connect() {
  replied_ = false;
  if (link_.Connect(address_, port_, int(timeoutMs_), &interrupted_)) return true;
  error_ = "cannot connect: " + Reason();
  return false;
}

bool UnitClient::Poll(kdt::UnitStatus& status) {
  return Exchange(kdt::PollFrame(), status);
}

bool UnitClient::Exchange(const kdt::Frame& frame, kdt::UnitStatus& status) {
  kdt::FrameBuffer buffer;
  kdt::LoadFrame(buffer, frame);
  switch (link_.Exchange(buffer, &interrupted_, timeoutMs_)) {
    case kdt::UnitLink::Outcome::kDone:
      status = kdt::DecodeReply(kdt::ReplyIn(buffer));
      replied_ = true;
      return true;
    case kdt::UnitLink::Outcome::kSendFailed:
      Fail("cannot send: " + Reason());
      return false;
    case kdt::UnitLink::Outcome::kNoReply:
      Fail("no reply: " + Reason());
      return false;
    case kdt::UnitLink::Outcome::kInvalidReply:
      Fail("the unit's reply was not valid");
      return false;
  }
  return false;
}

void UnitClient::Goodbye() {
  if (!Connected()) return;
  link_.Goodbye(kGoodbyeGraceMs);
  link_.Close();
}

// A unit that has just failed to answer is not waited for again: an
// interruption cuts its goodbye short too.
void UnitClient::Fail(const std::string& why) {
  error_ = why;
  link_.Goodbye(kGoodbyeGraceMs, &interrupted_);
  link_.Close();
}

}  // namespace cli
