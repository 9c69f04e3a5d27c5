#include "UnitClient.h"

#include <cstdio>
#include <cstring>

namespace cli {
namespace {

// The goodbye's reply is a courtesy: it is not waited for longer than the
// console waits when it stops, so that a unit that answers everything but the
// goodbye does not hold up every run.
constexpr std::uint32_t kGoodbyeGraceMs = 100;

// The socket layer's last error in words.
std::string Reason(std::uint32_t timeoutMs) {
  const int error = tcp::SockLastError();
  if (error == tcp::kWaitTimeout) return "no answer within " + SecondsText(timeoutMs);
  if (error == tcp::kConnReset) return "the unit closed the connection";
  if (error == tcp::kAbandoned) return "interrupted";
  return std::strerror(error);
}

}  // namespace

std::string SecondsText(std::uint32_t milliseconds) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g s", milliseconds / 1000.0);
  return seconds;
}

UnitClient::UnitClient(std::string address, int port, std::uint32_t timeoutMs,
                       const std::atomic<bool>& interrupted)
    : address_(std::move(address)), port_(port), timeoutMs_(timeoutMs), interrupted_(interrupted) {}

UnitClient::~UnitClient() {
  Goodbye();
}

std::string UnitClient::Where() const {
  return address_ + ":" + std::to_string(port_);
}

bool UnitClient::Connect() {
  tcp::Socket s = tcp::kInvalidSocket;
  if (tcp::SockOpen(s) &&
      tcp::SockConnectTimeout(s, address_, port_, int(timeoutMs_), &interrupted_)) {
    socket_ = s;
    return true;
  }
  error_ = "cannot connect: " + Reason(timeoutMs_);
  tcp::SockShutdownClose(s);
  return false;
}

bool UnitClient::Poll(kdt::UnitStatus& status) {
  return Exchange(kdt::PollFrame(), status);
}

bool UnitClient::Exchange(const kdt::Frame& frame, kdt::UnitStatus& status) {
  kdt::FrameBuffer buffer;
  kdt::LoadFrame(buffer, frame);
  if (!kdt::SendFrame(socket_, buffer, &interrupted_)) {
    Fail("cannot send: " + Reason(timeoutMs_));
    return false;
  }
  tcp::SockSetLastError(0);  // still 0 after a failure: the reply came, but was not valid
  if (!kdt::ReceiveReply(socket_, buffer, &interrupted_, timeoutMs_)) {
    Fail(tcp::SockLastError() == 0 ? "the unit's reply was not valid"
                                   : "no reply: " + Reason(timeoutMs_));
    return false;
  }
  status = kdt::DecodeReply(kdt::ReplyIn(buffer));
  return true;
}

void UnitClient::Goodbye() {
  if (!Connected()) return;
  kdt::FrameBuffer buffer;
  kdt::LoadFrame(buffer, kdt::GoodbyeFrame());
  if (kdt::SendFrame(socket_, buffer)) kdt::ReceiveReply(socket_, buffer, nullptr, kGoodbyeGraceMs);
  tcp::SockShutdownClose(socket_);
}

void UnitClient::Fail(const std::string& why) {
  error_ = why;
  // A unit that has just failed to answer is not waited for again.
  kdt::FrameBuffer buffer;
  kdt::LoadFrame(buffer, kdt::GoodbyeFrame());
  if (kdt::SendFrame(socket_, buffer, &interrupted_)) {
    kdt::ReceiveReply(socket_, buffer, &interrupted_, kGoodbyeGraceMs);
  }
  tcp::SockShutdownClose(socket_);
}

}  // namespace cli
