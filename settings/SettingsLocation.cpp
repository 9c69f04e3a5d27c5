#include "SettingsLocation.h"

#include "Platform.h"
#include "TextFile.h"

namespace kdt {
namespace {

bool CanKeepBeside(const std::string& file) {
  const std::string folder = FolderOf(file);
  if (IsInstalledProgramsFolder(folder)) return false;
  if (PathExists(file) && MayWrite(file)) return true;
  return MayWrite(folder);
}

}  // namespace

std::string SettingsPathFor(const std::string& executablePath) {
  const std::size_t nameStart = executablePath.size() - FileNameOf(executablePath).size();
  const std::size_t dot = executablePath.find_last_of('.');
  if (dot == std::string::npos || dot < nameStart) return executablePath + ".ini";
  return executablePath.substr(0, dot) + ".ini";
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
  return MakePrivateFolder(FolderOf(path));
}

}  // namespace kdt
