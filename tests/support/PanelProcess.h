// The console as a process of its own, for tests of what only the whole
// program does (its start-up, its signals): a copy of kdt212-panel in a
// temporary folder with the given settings file beside it, so that no test
// touches the build tree's settings. Ended and removed with the test.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class PanelProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  // `settings` is the text of the settings file; `environment` is added to
  // the test's own.
  PanelProcess(const std::string& settings, const Environment& environment);
  ~PanelProcess();
  PanelProcess(const PanelProcess&) = delete;
  PanelProcess& operator=(const PanelProcess&) = delete;

  pid_t Pid() const { return pid_; }
  void Signal(int signal) const;
  // Waits for the process to end; false when it is still running after the
  // time-out. `status` is waitpid's.
  bool WaitForExit(int timeoutMs, int& status);
  std::string SettingsPath() const;
  std::string SettingsText() const;

 private:
  std::string folder_;
  pid_t pid_ = -1;
};

}  // namespace testsupport
