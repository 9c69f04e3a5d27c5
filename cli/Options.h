// kdt212ctl's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

enum class Command { kNone, kStatus, kSet, kSync, kName, kIs, kWatch, kHelp, kVersion };

struct Options {
  Command command = Command::kNone;
  std::string address;  // --address; empty: look further (Address.h)
  int port = 0;         // --port; 0: the unit's own
  std::uint32_t timeoutMs = 3000;
  bool json = false;
  bool wait = false;        // watch: a unit not there yet is waited for
  std::vector<int> relays;  // unit relay numbers: 1 is RELAY C, 3 is RELAY A
  int input = 0;
  std::string text;  // the new name, as given (UTF-8)
};

// False with a one-line reason.
bool ParseOptions(const std::vector<std::string>& arguments, Options& options,
                  std::string& problem);

std::string HelpText();
std::string UsageLine();

}  // namespace cli
