#include "PanelProcess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include "OrdinaryUser.h"

namespace fs = std::filesystem;

namespace testsupport {
namespace {

constexpr const char* kPanelName = "kdt212-panel";

}  // namespace

PanelProcess::PanelProcess(const PanelOptions& options) {
  char pattern[] = "/tmp/kdt-panel-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  folder_ = pattern;
  const fs::path executable = fs::path(folder_) / kPanelName;
  fs::copy_file(KDT_PANEL_PATH, executable);
  if (!options.settings.empty()) {
    std::ofstream(SettingsPath(), std::ios::binary) << options.settings;
  }
  std::string program = executable.string();
  std::vector<std::string> arguments = options.arguments;
  if (options.installed) {
    // Root's folder, which nobody may enter but not write; anyone else's,
    // write-protected for its owner.
    chmod(folder_.c_str(), geteuid() == 0 ? 0755 : 0555);
    std::tie(program, arguments) = OrdinaryUser().Command(program, arguments);
  }
  process_ = std::make_unique<ChildProcess>(program, arguments, options.environment);
}

PanelProcess::~PanelProcess() {
  process_.reset();
  chmod(folder_.c_str(), 0700);
  fs::remove_all(folder_);
}

std::string PanelProcess::SettingsPath() const {
  return (fs::path(folder_) / (std::string(kPanelName) + ".ini")).string();
}

std::string PanelProcess::SettingsText() const {
  return FileText(SettingsPath());
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace testsupport
