#include "Loopback.h"

#include <cstdio>
#include <cstdlib>
#include <random>

#include "TcpSockets.h"

namespace testsupport {
namespace {

constexpr int kMaxFillers = 16;
constexpr int kFirstOwnPort = 20000, kLastOwnPort = 32000;
constexpr int kPortAttempts = 100;
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

// Below the system's range of ports for its own picks (bind to port 0, the
// source port of every connection; 32768 and up on Linux, 49152 and up on
// Windows): a port a test holds for a while is not taken meanwhile by
// another test's connection or listener, as one of that range could be.
int FreeLoopbackPort() {
  static std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<int> pick(kFirstOwnPort, kLastOwnPort);
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    const int port = pick(random);
    tcp::Socket s = tcp::kInvalidSocket;
    if (!tcp::SockListen(s, kLoopback, port, 1)) continue;
    tcp::SockClose(s);
    return port;
  }
  Fail("no free port on 127.0.0.1");
}

std::string FreeLoopbackAddressFor(int port) {
  for (int host = 1; host < 255; ++host) {
    const std::string address = "127.0.3." + std::to_string(host);
    tcp::Socket s = tcp::kInvalidSocket;
    if (!tcp::SockListen(s, address, port, 1)) continue;
    tcp::SockClose(s);
    return address;
  }
  Fail("no address of 127.0.3.0/24 has that port free");
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
