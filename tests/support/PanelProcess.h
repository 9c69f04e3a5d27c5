// The console as a process of its own, for tests of what only the whole
// program does (its start-up, its command line, its signals): a copy of
// kdt212-panel in a temporary folder with the given settings file beside it,
// so that no test touches the build tree's settings. Ended and removed with
// the test.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace testsupport {

struct PanelOptions {
  std::string settings;  // the settings file beside the copy; empty: none
  Environment environment;
  std::vector<std::string> arguments;
  // Run by an ordinary user from a folder that user cannot write, as an
  // installed program is: as root, the copy runs as nobody (setpriv).
  bool installed = false;
};

class PanelProcess {
 public:
  explicit PanelProcess(const PanelOptions& options);
  ~PanelProcess();
  PanelProcess(const PanelProcess&) = delete;
  PanelProcess& operator=(const PanelProcess&) = delete;

  ChildProcess& Process() { return *process_; }
  pid_t Pid() const { return process_->Pid(); }
  void Signal(int signal) const { process_->Signal(signal); }
  bool WaitForExit(int timeoutMs, int& status) { return process_->WaitForExit(timeoutMs, status); }
  const std::string& Folder() const { return folder_; }
  std::string SettingsPath() const;
  std::string SettingsText() const;

 private:
  std::string folder_;
  std::unique_ptr<ChildProcess> process_;
};

// The text of a file; empty when there is none.
std::string FileText(const std::string& path);

}  // namespace testsupport
