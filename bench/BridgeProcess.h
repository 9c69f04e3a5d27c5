// kdt212-bridge as a child process of a benchmark, with the configuration
// given, its log in a temporary folder; ended with the object.
#pragma once

#include <sys/types.h>

#include <string>

namespace bench {

class BridgeProcess {
 public:
  explicit BridgeProcess(const std::string& config);
  ~BridgeProcess();
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;
  pid_t Pid() const { return pid_; }
  // What it has logged so far.
  std::string Log() const;

 private:
  std::string folder_;
  pid_t pid_ = -1;
};

}  // namespace bench
