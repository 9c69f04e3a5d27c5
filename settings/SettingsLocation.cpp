#include "SettingsLocation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "TextFile.h"

namespace kdt {
namespace {

constexpr mode_t kPrivateFolder = 0700;  // as the XDG base directory rules ask

// Folders of installed programs, as the file system hierarchy gives them.
constexpr std::string_view kInstalledProgramsRoots[] = {"/usr", "/opt", "/bin", "/sbin"};

bool IsAtOrBelow(std::string_view folder, std::string_view root) {
  return folder.starts_with(root) && (folder.size() == root.size() || folder[root.size()] == '/');
}

bool IsBelowAnInstalledRoot(std::string_view folder) {
  for (std::string_view root : kInstalledProgramsRoots) {
    if (IsAtOrBelow(folder, root)) return true;
  }
  return false;
}

bool CanKeepBeside(const std::string& file) {
  const std::string folder = FolderOf(file);
  if (IsInstalledProgramsFolder(folder)) return false;
  if (access(file.c_str(), F_OK) == 0 && access(file.c_str(), W_OK) == 0) return true;
  return access(folder.c_str(), W_OK) == 0;
}

// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config; empty when
// neither can be known.
std::string UserConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config";
  return {};
}

bool MakeFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), kPrivateFolder) == 0 || errno == EEXIST) return true;
  if (errno != ENOENT || folder == FolderOf(folder)) return false;
  return MakeFolder(FolderOf(folder)) &&
         (mkdir(folder.c_str(), kPrivateFolder) == 0 || errno == EEXIST);
}

}  // namespace

std::string SettingsPathFor(const std::string& executablePath) {
  std::size_t nameStart = executablePath.find_last_of('/') + 1;  // npos + 1 == 0
  std::size_t dot = executablePath.find_last_of('.');
  if (dot == std::string::npos || dot < nameStart) return executablePath + ".ini";
  return executablePath.substr(0, dot) + ".ini";
}

bool IsInstalledProgramsFolder(const std::string& folder) {
  char resolved[PATH_MAX];
  if (IsBelowAnInstalledRoot(folder)) return true;
  return realpath(folder.c_str(), resolved) != nullptr && IsBelowAnInstalledRoot(resolved);
}

SettingsLocation ChooseSettingsLocation(const std::string& executablePath) {
  const std::string beside = SettingsPathFor(executablePath);
  const std::string folder = UserConfigFolder();
  if (CanKeepBeside(beside) || folder.empty()) return {beside, false};
  const std::string name = FileNameOf(beside);
  const std::string program = name.substr(0, name.size() - 4);  // without ".ini"
  return {folder + "/" + program + "/" + name, true};
}

bool MakeSettingsFolder(const std::string& path) {
  return MakeFolder(FolderOf(path));
}

}  // namespace kdt
