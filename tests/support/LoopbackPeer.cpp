#include "LoopbackPeer.h"

#include <gtest/gtest.h>

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

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto start = std::chrono::steady_clock::now();
  while (!done()) {
    if (ElapsedMs(start) >= timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

ScriptedPeer::ScriptedPeer(Script script) {
  listener_ = ListenLoopback(1, port_);
  thread_ = std::thread(&ScriptedPeer::Run, this, std::move(script));
}

ScriptedPeer::~ScriptedPeer() {
  Release();
  thread_.join();
  tcp::SockClose(listener_);
}

void ScriptedPeer::Run(Script script) {
  int waited = 0;
  // A connection already queued is taken even after the release, so that a
  // client that connected, sent and went away is still served.
  while (!tcp::SockWaitReadable(listener_, kSliceMs)) {
    if (released_ || (waited += kSliceMs) > kAcceptWaitMs) return;
  }
  tcp::Socket accepted = tcp::kInvalidSocket;
  if (!tcp::SockAccept(listener_, accepted)) return;
  Link link(accepted, released_);
  script(link);
  link.Close();
}

void ScriptedPeer::Link::Send(const std::vector<std::uint8_t>& bytes) {
  Send(bytes.data(), bytes.size());
}

void ScriptedPeer::Link::Send(const std::uint8_t* bytes, std::size_t length) {
  while (length > 0) {
    int sent = 0;
    if (!tcp::SockSend(socket_, bytes, int(length), sent)) return;
    bytes += sent;
    length -= static_cast<std::size_t>(sent);
  }
}

std::vector<std::uint8_t> ScriptedPeer::Link::Read(std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  std::size_t got = 0;
  while (got < length) {
    if (!tcp::SockWaitReadable(socket_, kSliceMs)) {
      if (released_) break;  // what was sent before the release is still read
      continue;
    }
    int n = 0;
    if (!tcp::SockRecv(socket_, bytes.data() + got, int(length - got), n)) break;
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
  tcp::SockClose(socket_);
}

tcp::Socket ConnectLoopback(int port) {
  tcp::Socket s = tcp::kInvalidSocket;
  EXPECT_TRUE(tcp::SockOpen(s)) << tcp::SockLastError();
  EXPECT_TRUE(tcp::SockConnectTimeout(s, kLoopback, port, 3000)) << tcp::SockLastError();
  return s;
}

}  // namespace testsupport
