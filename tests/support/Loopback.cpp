#include "Loopback.h"

#include <cstdio>
#include <cstdlib>

#include "TcpSockets.h"

namespace testsupport {
namespace {

constexpr int kMaxFillers = 16;
constexpr int kFillerSettleMs = 200;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "loopback: %s\n", what);
  std::abort();
}

}  // namespace

tcp::Socket ListenLoopback(int backlog, int& port) {
  tcp::Socket s = tcp::kInvalidSocket;
  if (!tcp::SockListen(s, kLoopback, 0, backlog)) Fail("cannot listen on 127.0.0.1");
  port = tcp::SockLocalPort(s);
  return s;
}

int FreeLoopbackPort() {
  int port = 0;
  tcp::Socket s = ListenLoopback(1, port);
  tcp::SockClose(s);
  return port;
}

FullListener::FullListener() {
  listener_ = ListenLoopback(0, port_);
  // Connect until one attempt no longer completes: from then on the queue is full.
  for (int i = 0; i < kMaxFillers; ++i) {
    tcp::Socket filler = tcp::kInvalidSocket;
    if (!tcp::SockCreate(filler) || !tcp::SockSetBlocking(filler, false)) Fail("no socket");
    fillers_.push_back(filler);
    if (!tcp::SockConnectTimeout(filler, kLoopback, port_, kFillerSettleMs) &&
        tcp::SockLastError() == tcp::kWaitTimeout) {
      return;
    }
  }
  Fail("the listener's accept queue never filled");
}

FullListener::~FullListener() {
  for (tcp::Socket& filler : fillers_) tcp::SockClose(filler);
  tcp::SockClose(listener_);
}

}  // namespace testsupport
