// Loopback helpers shared by the tests and the benchmark, free of any test
// framework: a port that nothing listens on, and a listener whose accept
// queue is full, so that a connection attempt to it never completes. Both
// use 127.0.0.1 and a port the kernel picks.
#pragma once

#include <string>
#include <vector>

#include "TcpSockets.h"

namespace testsupport {

constexpr const char* kLoopback = "127.0.0.1";

// Binds a listening socket to 127.0.0.1 on a free port; aborts when it cannot.
tcp::Socket ListenLoopback(int backlog, int& port);

// A port of 127.0.0.1 that was free a moment ago: a connection to it is refused.
int FreeLoopbackPort();

// An address of 127.0.3.0/24 on which `port` was free a moment ago, for
// what must listen on a port that nothing else decides (the console always
// connects to 10001). What takes it meanwhile makes the listener say so.
std::string FreeLoopbackAddressFor(int port);

// A listener with a backlog of 0 whose queue is filled by connections that
// are never accepted: the kernel then drops further SYNs, and a connection
// attempt stays pending until its time-out.
class FullListener {
 public:
  FullListener();
  ~FullListener();
  FullListener(const FullListener&) = delete;
  FullListener& operator=(const FullListener&) = delete;
  int Port() const { return port_; }

 private:
  tcp::Socket listener_ = tcp::kInvalidSocket;
  int port_ = 0;
  std::vector<tcp::Socket> fillers_;
};

}  // namespace testsupport
