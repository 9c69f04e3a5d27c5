// What the bridge's tests share: the real kdt212-bridge as a process of its
// own, its configuration in a temporary folder, simulated units on loopback
// ports the kernel picks, and clients of its shared endpoint.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Loopback.h"
#include "UnitFixture.h"
#include "UnitLink.h"

namespace testsupport {

constexpr int kBridgeWaitMs = 15000;  // a bound for what should take moments

// A [UNIT] section for a unit on 127.0.0.1:`port`, shared on `listenPort`
// when that is not 0.
inline std::string UnitSection(const std::string& id, int port, int listenPort = 0,
                               const std::string& more = "") {
  return "[UNIT " + id + "]\nADDR=127.0.0.1\nPORT=" + std::to_string(port) + "\n" +
         (listenPort != 0 ? "LISTEN=127.0.0.1:" + std::to_string(listenPort) + "\n" : "") + more;
}

class BridgeProcess {
 public:
  explicit BridgeProcess(const std::string& config,
                         std::vector<std::string> arguments = {"--verbose"}) {
    char pattern[] = "/tmp/kdt-bridge-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    folder_ = pattern;
    Rewrite(config);
    arguments.insert(arguments.begin(), {"--config", ConfigPath()});
    process_ = std::make_unique<ChildProcess>(KDT_BRIDGE_PATH, arguments);
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
  explicit EndpointClient(int port) { connected_ = link_.Connect(kLoopback, port, 3000); }
  bool Connected() const { return connected_; }
  // One exchange; false when it fails.
  bool Exchange(const kdt::Frame& frame, kdt::UnitStatus& status) {
    kdt::FrameBuffer buffer;
    kdt::LoadFrame(buffer, frame);
    if (link_.Exchange(buffer, nullptr, 5000) != kdt::UnitLink::Outcome::kDone) return false;
    status = kdt::DecodeReply(kdt::ReplyIn(buffer));
    return true;
  }
  bool Poll(kdt::UnitStatus& status) { return Exchange(kdt::PollFrame(), status); }
  // The other end has closed (or reset) the connection within the time.
  bool ClosedWithin(int timeoutMs) {
    std::uint8_t byte = 0;
    return !tcp::SockRecvAll(link_.Handle(), &byte, 1, std::uint32_t(timeoutMs)) &&
           tcp::SockLastError() != tcp::kWaitTimeout;
  }
  tcp::Socket Handle() const { return link_.Handle(); }
  kdt::UnitLink& Link() { return link_; }

 private:
  kdt::UnitLink link_;
  bool connected_ = false;
};

}  // namespace testsupport
