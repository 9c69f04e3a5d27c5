#include "PanelProcess.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace fs = std::filesystem;

namespace testsupport {
namespace {

constexpr const char* kPanelName = "kdt212-panel";

}  // namespace

PanelProcess::PanelProcess(const std::string& settings, const Environment& environment) {
  char pattern[] = "/tmp/kdt-panel-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  folder_ = pattern;
  const fs::path executable = fs::path(folder_) / kPanelName;
  fs::copy_file(KDT_PANEL_PATH, executable);
  std::ofstream(SettingsPath(), std::ios::binary) << settings;
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
    for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    execl(executable.c_str(), kPanelName, nullptr);
    _exit(127);
  }
}

PanelProcess::~PanelProcess() {
  int status = 0;
  if (pid_ > 0 && !WaitForExit(0, status)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  fs::remove_all(folder_);
}

void PanelProcess::Signal(int signal) const {
  if (pid_ > 0) kill(pid_, signal);  // never -1: that would signal every process
}

bool PanelProcess::WaitForExit(int timeoutMs, int& status) {
  if (pid_ <= 0) return true;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const pid_t ended = waitpid(pid_, &status, WNOHANG);
    if (ended == pid_) {
      pid_ = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string PanelProcess::SettingsPath() const {
  return (fs::path(folder_) / (std::string(kPanelName) + ".ini")).string();
}

std::string PanelProcess::SettingsText() const {
  std::ifstream in(SettingsPath(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace testsupport
