#include "BridgeProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace bench {

BridgeProcess::BridgeProcess(const std::string& config) {
  char pattern[] = "/tmp/kdt-bench-bridge-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  folder_ = pattern;
  const std::string file = folder_ + "/bridge.ini", log = folder_ + "/bridge.log";
  std::ofstream(file) << config;
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the benchmark
    const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(logFd, STDERR_FILENO);
    execl(KDT_BRIDGE_PATH, "kdt212-bridge", "--config", file.c_str(), nullptr);
    _exit(127);
  }
}

std::string BridgeProcess::Log() const {
  std::ifstream log(folder_ + "/bridge.log");
  return std::string((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
}

BridgeProcess::~BridgeProcess() {
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  std::filesystem::remove_all(folder_);
}

}  // namespace bench
