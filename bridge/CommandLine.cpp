#include "CommandLine.h"

namespace bridge {

CommandLine ReadCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    if (arg == "--help" || arg == "-h") {
      line.action = CommandLine::Action::kHelp;
      return line;
    } else if (arg == "--version") {
      line.action = CommandLine::Action::kVersion;
      return line;
    } else if (arg == "--check") {
      line.action = CommandLine::Action::kCheck;
    } else if (arg == "--hash") {
      line.action = CommandLine::Action::kHash;
    } else if (arg == "--verbose" || arg == "-v") {
      line.verbose = true;
    } else if (arg == "--config" || arg == "-c") {
      if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
        line.problem = "--config needs a file";
        break;
      }
      line.config = arguments[++i];
    } else if (arg.starts_with("--config=") && arg.size() > 9) {
      line.config = arg.substr(9);
    } else if (arg == "--user") {
      if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
        line.problem = "--user needs a user's name";
        break;
      }
      line.checkUser = arguments[++i];
    } else {
      line.problem =
          (arg.starts_with("-") ? "unknown option '" : "unexpected argument '") + arg + "'";
      break;
    }
  }
  if (line.problem.empty() && !line.checkUser.empty() && line.action != CommandLine::Action::kCheck)
    line.problem = "--user goes with --check";
  if (!line.problem.empty()) line.action = CommandLine::Action::kRefuse;
  return line;
}

std::string HelpText() {
  return std::string("Usage: kdt212-bridge [--config FILE] [--check [--user USER]] [--verbose]\n") +
         "       kdt212-bridge --hash < password\n" +
         "Holds one session with each VORNEX KDT-212 unit of its configuration and\n"
         "shares it: an endpoint that speaks the unit's protocol to every client.\n"
         "\n"
         "  -c, --config FILE  the configuration (" +
         kDefaultConfig +
         ")\n"
         "  --check            read the configuration, print the units it names, and\n"
         "                     exit: 0 when it is sound, 2 with the line at fault; the\n"
         "                     files it names are judged as the service will meet them\n"
         "  --user USER        with --check: judged with USER's rights (run by root:\n"
         "                     the service's user _kdt212, when it exists)\n"
         "  -v, --verbose      a line for every client that comes and goes\n"
         "  --hash             read a password, one line on standard input, and print\n"
         "                     its yescrypt hash for the page's users file\n"
         "  -h, --help         show this help and exit\n"
         "  --version          show the version and exit\n"
         "\n"
         "SIGHUP reads the configuration again; SIGTERM and SIGINT end every\n"
         "session with its goodbye.\n";
}

}  // namespace bridge
