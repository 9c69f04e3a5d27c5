// Loopback peers for socket tests: a scripted peer that accepts one connection
// and plays a script on it, and a listener whose accept queue is full, so that
// a connection attempt to it never completes. Both bind to 127.0.0.1 on a
// port the kernel picks, and end with the test that made them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "TcpSockets.h"

namespace testsupport {

constexpr const char* kLoopback = "127.0.0.1";

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
    Link(int fd, const std::atomic<bool>& released) : fd_(fd), released_(released) {}
    void Send(const std::vector<std::uint8_t>& bytes);
    void Send(const std::uint8_t* bytes, std::size_t length);
    // Reads exactly `length` bytes; fewer when the client closes first.
    std::vector<std::uint8_t> Read(std::size_t length);
    void Sleep(int ms);
    // Keeps the connection open, reading nothing, until Release().
    void HoldOpen();
    void Close();
    int fd() const { return fd_; }

   private:
    int fd_;
    const std::atomic<bool>& released_;
  };

 private:
  void Run(Script script);

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> released_{false};
  std::thread thread_;
};

// A listener with a backlog of 0 whose queue is filled by connections that
// are never accepted: the kernel then drops further SYNs, and a connection
// attempt stays pending until its time-out.
class FullListener {
 public:
  FullListener();
  ~FullListener();
  int Port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

// Opens a client socket with the module's options and connects it to the
// port on 127.0.0.1; fails the test when that does not work.
tcp::Socket ConnectLoopback(int port);

// Milliseconds since `start`.
std::int64_t ElapsedMs(std::chrono::steady_clock::time_point start);

}  // namespace testsupport
