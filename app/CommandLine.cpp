#include "CommandLine.h"

#include "Version.h"

namespace kdt {
namespace {

constexpr const char* kProgram = "kdt212-panel";
constexpr std::string_view kSettingsOption = "--settings";

// The toolkit's own options (QGuiApplication, QApplication, xcb), which it
// takes out of the command line itself; with one dash or two.
constexpr std::string_view kToolkitOptionsWithValue[] = {"platform",
                                                         "platformpluginpath",
                                                         "platformtheme",
                                                         "plugin",
                                                         "qwindowgeometry",
                                                         "geometry",
                                                         "qwindowtitle",
                                                         "title",
                                                         "qwindowicon",
                                                         "icon",
                                                         "session",
                                                         "display",
                                                         "name",
                                                         "stylesheet",
                                                         "style",
                                                         "qmljsdebugger"};
constexpr std::string_view kToolkitFlags[] = {"reverse", "widgetcount", "nograb",
                                              "dograb",  "sync",        "testability"};

// How many arguments a toolkit option spans (1 or 2); 0 for anything else.
int ToolkitOptionLength(std::string_view arg) {
  if (!arg.starts_with("-")) return 0;
  arg.remove_prefix(arg.starts_with("--") ? 2 : 1);
  const std::string_view name = arg.substr(0, arg.find('='));
  for (std::string_view option : kToolkitOptionsWithValue) {
    if (name == option) return name.size() == arg.size() ? 2 : 1;
  }
  for (std::string_view flag : kToolkitFlags) {
    if (arg == flag) return 1;
  }
  return 0;
}

}  // namespace

CommandLine TakeCommandLine(int& argc, char** argv) {
  CommandLine line;
  const std::string settingsIs = std::string(kSettingsOption) + "=";
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      line.action = CommandLine::Action::kHelp;
    } else if (arg == "--version") {
      line.action = CommandLine::Action::kVersion;
    } else if (arg == kSettingsOption || arg.starts_with(settingsIs)) {
      const bool separate = arg == kSettingsOption;
      line.settingsFile =
          separate ? (i + 1 < argc ? argv[++i] : "") : arg.substr(settingsIs.size());
      if (line.settingsFile.empty()) line.problem = "--settings needs a file";
    } else if (const int length = ToolkitOptionLength(arg); length > 0) {
      for (int k = 0; k < length && i < argc; ++k) argv[kept++] = argv[i++];
      --i;
    } else {
      line.problem = (arg.starts_with("-") ? "unknown option '" : "unexpected argument '") +
                     std::string(arg) + "'";
    }
  }
  argc = kept;
  argv[argc] = nullptr;
  if (!line.problem.empty() && line.action == CommandLine::Action::kRun) {
    line.action = CommandLine::Action::kRefuse;
  }
  return line;
}

std::string HelpText() {
  return std::string("Usage: ") + kProgram + " [--settings FILE]\n" +
         "The operator console of the VORNEX KDT-212 relay switch unit.\n"
         "\n"
         "  --settings FILE  keep the settings in FILE, so that each window can serve a\n"
         "                   unit of its own; without it, the file beside the program\n"
         "                   when that may be written and is not among installed\n"
         "                   programs (/usr, /opt ...), else\n"
         "                   $XDG_CONFIG_HOME/kdt212-panel/kdt212-panel.ini\n"
         "                   (~/.config/kdt212-panel/kdt212-panel.ini)\n"
         "  -h, --help       show this help and exit\n"
         "  --version        show the version and exit\n"
         "\n"
         "Qt's own options, such as -platform, are accepted as well.\n";
}

std::string VersionText() {
  return std::string(kProgram) + " " + KDT_VERSION + "\n";
}

std::string UsageLine() {
  return std::string("usage: ") + kProgram + " [--settings FILE] [--help] [--version]";
}

}  // namespace kdt
