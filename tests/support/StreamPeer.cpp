#include "StreamPeer.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>

namespace testsupport {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point until) {
  return int(std::max<std::int64_t>(
      0, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count()));
}

Clock::time_point MsFromNow(int ms) {
  return Clock::now() + std::chrono::milliseconds(ms);
}

StreamPeer::StreamPeer(int port, const char* from) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = tcp::DottedToInAddr(from);
  if (!tcp::SockCreate(socket_) ||
      bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      !tcp::SockConnectTimeout(socket_, "127.0.0.1", port, 3000)) {
    tcp::SockClose(socket_);
  }
}

StreamPeer::~StreamPeer() {
  tcp::SockClose(socket_);
}

bool StreamPeer::Send(const std::string& bytes) {
  return tcp::SockSendAll(socket_, bytes.data(), int(bytes.size()), 5000);
}

bool StreamPeer::Fill(int timeoutMs) {
  if (!tcp::SockWaitReadable(socket_, timeoutMs)) return false;
  char chunk[4096];
  int received = 0;
  if (!tcp::SockRecv(socket_, chunk, int(sizeof chunk), received) || received <= 0) return false;
  buffer_.append(chunk, std::size_t(received));
  return true;
}

bool StreamPeer::ClosedWithin(int timeoutMs) {
  std::string more;
  return ClosedAfter(more, timeoutMs);
}

bool StreamPeer::ClosedAfter(std::string& more, int timeoutMs) {
  const auto until = MsFromNow(timeoutMs);
  more = std::move(buffer_);
  buffer_.clear();
  while (Clock::now() < until) {
    if (!tcp::SockWaitReadable(socket_, MsLeft(until))) return false;
    char chunk[4096];
    int received = 0;
    if (!tcp::SockRecv(socket_, chunk, int(sizeof chunk), received) || received <= 0) return true;
    more.append(chunk, std::size_t(received));
  }
  return false;
}

}  // namespace testsupport
