// A scripted peer for socket tests: it accepts one connection on 127.0.0.1,
// on a port the kernel picks, plays a script on it, and ends with the test
// that made it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "TcpSockets.h"

namespace testsupport {

class ScriptedPeer {
 public:
  class Link;
  using Script = std::function<void(Link& link)>;

  explicit ScriptedPeer(Script script);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  int Port() const { return port_; }
  // Lets a script that holds the connection open (HoldOpen) finish.
  void Release() { released_ = true; }

  // The accepted connection, as a script sees it.
  class Link {
   public:
    Link(tcp::Socket socket, const std::atomic<bool>& released)
        : socket_(socket), released_(released) {}
    void Send(const std::vector<std::uint8_t>& bytes);
    void Send(const std::uint8_t* bytes, std::size_t length);
    // Reads exactly `length` bytes; fewer when the client closes first.
    std::vector<std::uint8_t> Read(std::size_t length);
    void Sleep(int ms);
    // Keeps the connection open, reading nothing, until Release().
    void HoldOpen();
    void Close();
    tcp::Socket socket() const { return socket_; }

   private:
    tcp::Socket socket_;
    const std::atomic<bool>& released_;
  };

 private:
  void Run(Script script);

  tcp::Socket listener_ = tcp::kInvalidSocket;
  int port_ = 0;
  std::atomic<bool> released_{false};
  std::thread thread_;
};

// Opens a client socket with the module's options and connects it to the
// port on 127.0.0.1; fails the test when that does not work.
tcp::Socket ConnectLoopback(int port);

// Milliseconds since `start`.
std::int64_t ElapsedMs(std::chrono::steady_clock::time_point start);

// Asks `done` every few milliseconds until it says yes (true) or
// `timeoutMs` have passed (false).
bool WaitUntil(const std::function<bool()>& done, int timeoutMs);

}  // namespace testsupport
