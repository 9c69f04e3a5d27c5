// Where the console keeps its settings file. The rule of the unit's original
// console, the executable's path with ".ini", holds for the build tree and a
// portable folder; a program installed among the system's programs keeps its
// file in the user's configuration folder instead, for root too: a file in
// /usr/bin would belong to no package and outlive the program. In this order:
//   1. a file named on the command line (--settings FILE);
//   2. the file beside the executable, when the executable's folder is not
//      one of installed programs (/usr, /opt, /bin, /sbin and below) and the
//      file exists and may be written, or the folder may be written;
//   3. <name>.ini in $XDG_CONFIG_HOME/<name>/, else in ~/.config/<name>/
//      (on Windows in %APPDATA%\<name>\), <name> being the executable's
//      file name; the folder is made on the first save.
#pragma once

#include <string>

namespace kdt {

struct SettingsLocation {
  std::string path;
  bool inUserConfig = false;  // the folder may have to be made before a save
};

// The executable's path with the extension of its file name replaced by
// ".ini"; a name without a dot gets ".ini" appended.
std::string SettingsPathFor(const std::string& executablePath);

// Rules 2 and 3; rule 1 is the caller's. Worked out anew for every read and
// write, as the file beside the executable may come or go.
SettingsLocation ChooseSettingsLocation(const std::string& executablePath);

// Makes the folder of a settings file in the user's configuration folder,
// private to the user; false with errno when that fails.
bool MakeSettingsFolder(const std::string& path);

}  // namespace kdt
