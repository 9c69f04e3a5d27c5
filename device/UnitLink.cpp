#include "UnitLink.h"

#include <utility>

namespace kdt {

UnitLink::~UnitLink() {
  Close();
}

UnitLink::UnitLink(UnitLink&& other) noexcept
    : socket_(std::exchange(other.socket_, tcp::kInvalidSocket)), error_(other.error_) {}

UnitLink& UnitLink::operator=(UnitLink&& other) noexcept {
  if (this != &other) {
    Close();
    socket_ = std::exchange(other.socket_, tcp::kInvalidSocket);
    error_ = other.error_;
  }
  return *this;
}

bool UnitLink::Connect(std::string_view host, int port, int timeoutMs, tcp::Abandon abandon) {
  Close();
  tcp::Socket s = tcp::kInvalidSocket;
  if (tcp::SockOpen(s) && tcp::SockConnectTimeout(s, host, port, timeoutMs, abandon)) {
    socket_ = s;
    return true;
  }
  error_ = tcp::SockLastError();
  tcp::SockShutdownClose(s);
  return false;
}

UnitLink::Outcome UnitLink::Exchange(FrameBuffer& buffer, tcp::Abandon abandon,
                                     std::uint32_t replyTimeoutMs) {
  if (!SendFrame(socket_, buffer, abandon)) {
    error_ = tcp::SockLastError();
    return Outcome::kSendFailed;
  }
  tcp::SockSetLastError(0);  // still 0 after a failure: the reply came, but was not valid
  if (!ReceiveReply(socket_, buffer, abandon, replyTimeoutMs)) {
    error_ = tcp::SockLastError();
    return error_ == 0 ? Outcome::kInvalidReply : Outcome::kNoReply;
  }
  return Outcome::kDone;
}

void UnitLink::Goodbye(std::uint32_t replyTimeoutMs, tcp::Abandon abandon) {
  FrameBuffer buffer;
  LoadFrame(buffer, GoodbyeFrame());
  if (SendFrame(socket_, buffer, abandon)) ReceiveReply(socket_, buffer, abandon, replyTimeoutMs);
}

void UnitLink::Close() {
  tcp::SockShutdownClose(socket_);
}

}  // namespace kdt
