#include "Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace testsupport {
namespace {

constexpr int kMaxFillers = 16;
constexpr int kFillerSettleMs = 200;

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "loopback: %s\n", what);
  std::abort();
}

}  // namespace

int ListenLoopback(int backlog, int& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = LoopbackAddress(0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(fd, backlog) != 0) {
    Fail("cannot listen on 127.0.0.1");
  }
  socklen_t length = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length);
  port = ntohs(sa.sin_port);
  return fd;
}

int FreeLoopbackPort() {
  int port = 0;
  close(ListenLoopback(1, port));
  return port;
}

FullListener::FullListener() {
  listener_ = ListenLoopback(0, port_);
  const sockaddr_in sa = LoopbackAddress(port_);
  // Connect until one attempt no longer completes: from then on the queue is full.
  for (int i = 0; i < kMaxFillers; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    fillers_.push_back(fd);
    connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    pollfd pfd{fd, POLLOUT, 0};
    if (poll(&pfd, 1, kFillerSettleMs) == 0) return;
  }
  Fail("the listener's accept queue never filled");
}

FullListener::~FullListener() {
  for (int fd : fillers_) close(fd);
  close(listener_);
}

}  // namespace testsupport
