// The console's command line: --settings FILE, --help and --version. Read
// before the toolkit starts, so that --help, --version and a refusal answer
// without a display; the toolkit's own options (-platform, -display ...) are
// left in place for it, and anything else is refused.
#pragma once

#include <string>

namespace kdt {

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kRefuse };
  Action action = Action::kRun;
  std::string settingsFile;  // empty: the usual place
  std::string problem;       // for kRefuse, one line
};

// Takes the console's own options out of argv (argc shrinks with it),
// leaving the toolkit's.
CommandLine TakeCommandLine(int& argc, char** argv);

std::string HelpText();
std::string VersionText();
// The one-line form of the usage, for refusals.
std::string UsageLine();

}  // namespace kdt
