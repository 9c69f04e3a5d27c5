#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {
namespace {

constexpr int kSliceMs = 10;
constexpr int kAcceptWaitMs = 20000;

}  // namespace

std::int64_t ElapsedMs(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

ScriptedPeer::ScriptedPeer(Script script) {
  listener_ = ListenLoopback(1, port_);
  thread_ = std::thread(&ScriptedPeer::Run, this, std::move(script));
}

ScriptedPeer::~ScriptedPeer() {
  Release();
  thread_.join();
  close(listener_);
}

void ScriptedPeer::Run(Script script) {
  pollfd pfd{listener_, POLLIN, 0};
  int waited = 0;
  // A connection already queued is taken even after the release, so that a
  // client that connected, sent and went away is still served.
  while (poll(&pfd, 1, kSliceMs) == 0) {
    if (released_ || (waited += kSliceMs) > kAcceptWaitMs) return;
  }
  int fd = accept(listener_, nullptr, nullptr);
  Link link(fd, released_);
  script(link);
  link.Close();
}

void ScriptedPeer::Link::Send(const std::vector<std::uint8_t>& bytes) {
  Send(bytes.data(), bytes.size());
}

void ScriptedPeer::Link::Send(const std::uint8_t* bytes, std::size_t length) {
  while (length > 0) {
    ssize_t sent = send(fd_, bytes, length, MSG_NOSIGNAL);
    if (sent <= 0) return;
    bytes += sent;
    length -= static_cast<std::size_t>(sent);
  }
}

std::vector<std::uint8_t> ScriptedPeer::Link::Read(std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  std::size_t got = 0;
  while (got < length) {
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, kSliceMs) == 0) {
      if (released_) break;  // what was sent before the release is still read
      continue;
    }
    ssize_t n = recv(fd_, bytes.data() + got, length - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

void ScriptedPeer::Link::Sleep(int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!released_ && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void ScriptedPeer::Link::HoldOpen() {
  while (!released_) std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
}

void ScriptedPeer::Link::Close() {
  if (fd_ != -1) close(fd_);
  fd_ = -1;
}

tcp::Socket ConnectLoopback(int port) {
  tcp::Socket s = tcp::kInvalidSocket;
  EXPECT_TRUE(tcp::SockOpen(s)) << tcp::SockLastError();
  EXPECT_TRUE(tcp::SockConnectTimeout(s, kLoopback, port, 3000)) << tcp::SockLastError();
  return s;
}

}  // namespace testsupport
