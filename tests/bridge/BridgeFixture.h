// What the bridge's tests share: the real kdt212-bridge as a process of its
// own, its configuration in a temporary folder, simulated units on loopback
// ports the kernel picks, and clients of its shared endpoint.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Loopback.h"
#include "LoopbackPeer.h"
#include "PanelCommands.h"
#include "UnitFixture.h"
#include "UnitFrames.h"

namespace testsupport {

constexpr int kBridgeWaitMs = 15000;  // a bound for what should take moments

// A [UNIT] section for a unit on 127.0.0.1:`port`, shared on `listenPort`
// when that is not 0.
inline std::string UnitSection(const std::string& id, int port, int listenPort = 0,
                               const std::string& more = "") {
  return "[UNIT " + id + "]\nADDR=127.0.0.1\nPORT=" + std::to_string(port) + "\n" +
         (listenPort != 0 ? "LISTEN=127.0.0.1:" + std::to_string(listenPort) + "\n" : "") + more;
}

// A KDT-212 of the test's own: each valid frame read is handed to
// `onFrame`, which may change the unit's status (and take its time), and
// is then answered with the status, until the client closes.
using FrameScript = std::function<void(const kdt::ClientFrame& read, kdt::UnitStatus& status,
                                       ScriptedPeer::Link& link)>;
inline ScriptedPeer::Script ScriptedUnit(FrameScript onFrame) {
  return [onFrame](ScriptedPeer::Link& link) {
    kdt::UnitStatus status = kdt::DecodeReply(Kdt212Reply());
    for (;;) {
      std::vector<std::uint8_t> frame = link.Read(1);
      if (frame.empty()) return;
      const std::vector<std::uint8_t> rest = link.Read(frame[0]);
      if (rest.size() != frame[0]) return;
      frame.insert(frame.end(), rest.begin(), rest.end());
      kdt::ClientFrame read;
      if (kdt::ReadClientFrame(frame, read)) onFrame(read, status, link);
      const kdt::ReplyBytes reply = kdt::EncodeReply(status);
      link.Send(reply.data(), reply.size());
    }
  };
}

// One that answers a poll at once and a switch only after `switchMs` (and
// then shows it): a unit busy with each switch, whose commands queue.
inline ScriptedPeer::Script UnitSlowAtSwitches(int switchMs) {
  return ScriptedUnit(
      [switchMs](const kdt::ClientFrame& read, kdt::UnitStatus& status, ScriptedPeer::Link& link) {
        if (read.code != kdt::kCmdSetInput) return;
        link.Sleep(switchMs);
        status.state[read.relay - 1] = kdt::WithInput(status.state[read.relay - 1], read.input);
      });
}

// A BridgeProcess with one unit, studio, at `unitPort`, and the page on
// `pagePort`; `more` follows [HTTP]'s lines.
inline std::string StudioAndPage(int unitPort, int pagePort, const std::string& more = "") {
  return UnitSection("studio", unitPort) + "[HTTP]\nLISTEN=127.0.0.1:" + std::to_string(pagePort) +
         "\n" + more;
}

class BridgeProcess {
 public:
  // `wrapper`: a program that runs the bridge (prlimit, unshare), with its
  // arguments.
  explicit BridgeProcess(const std::string& config,
                         std::vector<std::string> arguments = {"--verbose"},
                         std::vector<std::string> wrapper = {}) {
    char pattern[] = "/tmp/kdt-bridge-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    folder_ = pattern;
    Rewrite(config);
    arguments.insert(arguments.begin(), {"--config", ConfigPath()});
    if (wrapper.empty()) {
      process_ = std::make_unique<ChildProcess>(KDT_BRIDGE_PATH, arguments);
      return;
    }
    const std::string program = wrapper.front();
    wrapper.erase(wrapper.begin());
    wrapper.push_back(KDT_BRIDGE_PATH);
    wrapper.insert(wrapper.end(), arguments.begin(), arguments.end());
    process_ = std::make_unique<ChildProcess>(program, wrapper);
  }
  ~BridgeProcess() {
    process_.reset();
    std::filesystem::remove_all(folder_);
  }
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  std::string ConfigPath() const { return folder_ + "/bridge.ini"; }
  void Rewrite(const std::string& config) const {
    std::ofstream(ConfigPath(), std::ios::binary) << config;
  }
  ChildProcess& Process() { return *process_; }
  // Waits for a log line that holds `text`, written after the last Mark.
  bool WaitForLog(const std::string& text, int timeoutMs = kBridgeWaitMs) {
    return process_->WaitForErrors(text, timeoutMs, mark_);
  }
  void Mark() { mark_ = process_->Errors().size(); }
  const std::string& Log() const { return process_->Errors(); }
  // How many log lines hold `text`, of all it wrote in the next `ms`.
  int CountAfter(int ms, const std::string& text) {
    process_->CollectFor(ms);
    int count = 0;
    for (std::size_t at = Log().find(text); at != std::string::npos;
         at = Log().find(text, at + text.size())) {
      ++count;
    }
    return count;
  }
  // Ends it with `signal`; its exit code, or -1.
  int End(int signal = SIGTERM) {
    process_->Signal(signal);
    int status = 0;
    if (!process_->WaitForExit(kBridgeWaitMs, status)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  std::string folder_;
  std::unique_ptr<ChildProcess> process_;
  std::size_t mark_ = 0;
};

// A client of a shared endpoint, as any tool of the unit's would be.
class EndpointClient {
 public:
  // From 127.0.0.1, or from another address of 127.0.0.0/8, as another host
  // would come.
  explicit EndpointClient(int port, const char* from = kLoopback) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = tcp::DottedToInAddr(from);
    connected_ = tcp::SockOpen(socket_) &&
                 bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                 tcp::SockConnectTimeout(socket_, kLoopback, port, 3000);
  }
  ~EndpointClient() { tcp::SockClose(socket_); }
  EndpointClient(const EndpointClient&) = delete;
  EndpointClient& operator=(const EndpointClient&) = delete;

  bool Connected() const { return connected_; }
  // One exchange; false when it fails.
  bool Exchange(const kdt::Frame& frame, kdt::UnitStatus& status) {
    kdt::FrameBuffer buffer;
    kdt::LoadFrame(buffer, frame);
    if (!kdt::SendFrame(socket_, buffer) || !kdt::ReceiveReply(socket_, buffer, nullptr, 5000)) {
      return false;
    }
    status = kdt::DecodeReply(kdt::ReplyIn(buffer));
    return true;
  }
  bool Poll(kdt::UnitStatus& status) { return Exchange(kdt::PollFrame(), status); }
  // The other end has closed (or reset) the connection within the time.
  bool ClosedWithin(int timeoutMs) {
    std::uint8_t byte = 0;
    return !tcp::SockRecvAll(socket_, &byte, 1, std::uint32_t(timeoutMs)) &&
           tcp::SockLastError() != tcp::kWaitTimeout;
  }
  tcp::Socket Handle() const { return socket_; }

 private:
  tcp::Socket socket_ = tcp::kInvalidSocket;
  bool connected_ = false;
};

// A unit, and a bridge that shares it on a port of its own.
class SharedBridgeTest : public UnitFixture {
 protected:
  void StartShared(const std::string& more = "", sim::SimOptions options = {},
                   std::vector<std::string> arguments = {"--verbose"},
                   std::vector<std::string> wrapper = {}) {
    StartUnit(options);
    listenPort_ = FreeLoopbackPort();
    bridge_ = std::make_unique<BridgeProcess>(
        UnitSection("studio", unit_->Port(), listenPort_, more), arguments, wrapper);
    ASSERT_TRUE(bridge_->WaitForLog("studio: connected to")) << bridge_->Log();
  }

  void Panel(const std::string& line) {
    std::string reply;
    ASSERT_TRUE(sim::RunPanelCommand(*unit_, line, reply)) << reply;
  }

  // A client that has connected and had its first status.
  std::unique_ptr<EndpointClient> Client() {
    auto client = std::make_unique<EndpointClient>(listenPort_);
    kdt::UnitStatus status;
    EXPECT_TRUE(client->Connected() && client->Poll(status));
    return client;
  }

  std::vector<kdt::Frame> FramesOfCode(std::uint8_t code) const {
    return FramesWithCode(*unit_, code);
  }

  int listenPort_ = 0;
  std::unique_ptr<BridgeProcess> bridge_;
};

}  // namespace testsupport
