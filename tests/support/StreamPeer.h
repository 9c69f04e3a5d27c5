// A test's own TCP client on a plain socket of the socket layer, from an
// address of 127.0.0.0/8 of the test's choosing (as another host would
// come): what it is sent is gathered for the protocol's reader above it.
#pragma once

#include <chrono>
#include <string>

#include "TcpSockets.h"

namespace testsupport {

// What is left of the time until `until`, in milliseconds.
int MsLeft(std::chrono::steady_clock::time_point until);
std::chrono::steady_clock::time_point MsFromNow(int ms);

class StreamPeer {
 public:
  // Connects to 127.0.0.1:`port` from `from`.
  StreamPeer(int port, const char* from);
  ~StreamPeer();
  StreamPeer(const StreamPeer&) = delete;
  StreamPeer& operator=(const StreamPeer&) = delete;

  bool Connected() const { return socket_ != tcp::kInvalidSocket; }
  bool Send(const std::string& bytes);
  // The server has ended the connection (or reset it) within the time.
  bool ClosedWithin(int timeoutMs);
  // The same, with what came before the end that no reader took.
  bool ClosedAfter(std::string& more, int timeoutMs);
  tcp::Socket Handle() const { return socket_; }

 protected:
  // More bytes within the time; false when none came or the stream ended.
  bool Fill(int timeoutMs);
  std::string buffer_;

 private:
  tcp::Socket socket_ = tcp::kInvalidSocket;
};

}  // namespace testsupport
