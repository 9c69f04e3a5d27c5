#include "Options.h"

#include <charconv>
#include <cmath>

#include "Relays.h"
#include "UnitFrames.h"

namespace cli {
namespace {

constexpr double kLongestTimeoutSeconds = 3600;

struct CommandName {
  const char* name;
  Command command;
  int fixedArguments;  // -1: name takes the rest, sync takes one or more relays
};
constexpr CommandName kCommands[] = {
    {"status", Command::kStatus, 0}, {"set", Command::kSet, 2}, {"sync", Command::kSync, -1},
    {"name", Command::kName, -1},    {"is", Command::kIs, 2},   {"watch", Command::kWatch, 0},
    {"help", Command::kHelp, 0},
};

bool ParseRelay(const std::string& text, int& relay) {
  relay = kdt::ParseRelay(text);
  return relay != 0;
}

bool ParseInput(const std::string& text, int& input) {
  input = text == "1" ? kdt::kInput1 : text == "2" ? kdt::kInput2 : 0;
  return input != 0;
}

bool ParseSeconds(const std::string& text, std::uint32_t& milliseconds) {
  double seconds = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (ec != std::errc() || end != text.data() + text.size() || !(seconds > 0) ||
      seconds > kLongestTimeoutSeconds) {
    return false;
  }
  milliseconds = static_cast<std::uint32_t>(std::lround(seconds * 1000));
  return milliseconds > 0;
}

bool ParsePort(const std::string& text, int& port) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  return ec == std::errc() && end == text.data() + text.size() && port >= 1 && port <= 65535;
}

// The options, anywhere on the line; "--" ends them, so that a name may
// start with a dash. What is left are the command and its arguments.
bool TakeOptions(const std::vector<std::string>& arguments, Options& options,
                 std::vector<std::string>& words, std::string& problem) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    const auto value = [&](const char* name, std::string& into) {
      if (i + 1 < arguments.size()) {
        into = arguments[++i];
        return true;
      }
      problem = std::string(name) + " needs a value";
      return false;
    };
    std::string text;
    if (arg == "--") {
      words.insert(words.end(), arguments.begin() + std::ptrdiff_t(i) + 1, arguments.end());
      return true;
    } else if (arg == "-h" || arg == "--help") {
      options.command = Command::kHelp;
      return true;
    } else if (arg == "--version") {
      options.command = Command::kVersion;
      return true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--wait") {
      options.wait = true;
    } else if (arg == "--address" || arg == "-a") {
      if (!value("--address", options.address)) return false;
    } else if (arg == "--port") {
      if (!value("--port", text)) return false;
      if (!ParsePort(text, options.port)) {
        problem = "--port takes a port number from 1 to 65535, not '" + text + "'";
        return false;
      }
    } else if (arg == "--timeout" || arg == "-t") {
      if (!value("--timeout", text)) return false;
      if (!ParseSeconds(text, options.timeoutMs)) {
        problem = "--timeout takes seconds, such as 3 or 0.5, not '" + text + "'";
        return false;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      problem = "unknown option '" + arg + "'";
      return false;
    } else {
      words.push_back(arg);
    }
  }
  return true;
}

bool ParseCommandArguments(const std::vector<std::string>& words, Options& options,
                           std::string& problem) {
  const std::string& verb = words[0];
  const auto bad = [&](const std::string& what) {
    problem = verb + ": " + what;
    return false;
  };
  switch (options.command) {
    case Command::kSet:
    case Command::kIs:
      options.relays.resize(1);
      if (!ParseRelay(words[1], options.relays[0]))
        return bad("no relay '" + words[1] + "' (A, B, C or 3, 2, 1)");
      if (!ParseInput(words[2], options.input)) return bad("no input '" + words[2] + "' (1 or 2)");
      return true;
    case Command::kSync:
      if (words.size() < 3) return bad("give the input and at least one relay");
      if (!ParseInput(words[1], options.input)) return bad("no input '" + words[1] + "' (1 or 2)");
      for (std::size_t i = 2; i < words.size(); ++i) {
        int relay = 0;
        if (!ParseRelay(words[i], relay))
          return bad("no relay '" + words[i] + "' (A, B, C or 3, 2, 1)");
        options.relays.push_back(relay);
      }
      return true;
    case Command::kName:
      if (words.size() < 2) return bad("give the relay and its new name");
      options.relays.resize(1);
      if (!ParseRelay(words[1], options.relays[0]))
        return bad("no relay '" + words[1] + "' (A, B, C or 3, 2, 1)");
      for (std::size_t i = 2; i < words.size(); ++i) {
        options.text += (i > 2 ? " " : "") + words[i];
      }
      return true;
    default:
      return true;
  }
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& arguments, Options& options,
                  std::string& problem) {
  std::vector<std::string> words;
  if (!TakeOptions(arguments, options, words, problem)) return false;
  if (options.command == Command::kVersion || options.command == Command::kHelp) return true;
  if (words.empty()) {
    problem = "no command given";
    return false;
  }
  for (const CommandName& command : kCommands) {
    if (words[0] != command.name) continue;
    options.command = command.command;
    if (options.wait && options.command != Command::kWatch) {
      problem = "--wait goes with watch only";
      return false;
    }
    if (command.fixedArguments >= 0 && int(words.size()) - 1 != command.fixedArguments) {
      problem = words[0] + ": takes " + std::to_string(command.fixedArguments) + " argument" +
                (command.fixedArguments == 1 ? "" : "s");
      return false;
    }
    return ParseCommandArguments(words, options, problem);
  }
  problem = "unknown command '" + words[0] + "'";
  return false;
}

std::string UsageLine() {
  return "usage: kdt212ctl [OPTIONS] COMMAND [ARGUMENTS], --help tells more";
}

std::string HelpText() {
  return R"(Usage: kdt212ctl [OPTIONS] COMMAND [ARGUMENTS]
Switches and reads a VORNEX KDT-212 relay switch unit from scripts and hubs.

Commands:
  status               the unit's model and each relay's input, lock and name
  set RELAY INPUT      switch a relay to INPUT 1 or 2, and wait until it has
  sync INPUT RELAY...  switch several relays to one input, one after another
  name RELAY TEXT      rename a relay (windows-1251, at most 24 characters)
  is RELAY INPUT       exit 0 when the relay is on that input, 1 when it is not
  watch                print a line for every change until interrupted;
                       reconnects by itself after a drop; with --wait, also
                       waits for a unit that is not there yet

RELAY is A, B or C (either case), or the unit's relay number: 3 is RELAY A,
2 is RELAY B, 1 is RELAY C. INPUT is 1 or 2.

Options:
  -a, --address A   the unit's IPv4 address; else $KDT212_ADDRESS, else the
                    address of the console's settings file (kdt212-panel.ini)
  --port N          the unit's TCP port (10001)
  -t, --timeout S   seconds to wait for the connection and for each reply, and
                    for a switch or a new name to show (3)
  --json            status and watch as JSON: one object, or one per line
  --wait            watch: keep trying while the unit cannot be reached at
                    start, as after a drop (a hub that starts it at boot)
  -h, --help        this help
  --version         the version
  --                ends the options, for a name that starts with a dash

Exit codes:
  0  done, or the relay is on that input (is)
  1  the relay is on the other input (is)
  2  bad usage, no address given, or a name that the unit cannot take
  3  the unit cannot be reached, does not answer in time, or the connection
     was lost
  4  the unit refused: the relay is locked, it did not switch or take the
     name in time, or the unit is not a KDT-212
  130  interrupted (Ctrl+C); watch ends with 0 and says goodbye
)";
}

}  // namespace cli
