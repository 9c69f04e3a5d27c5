// kdt212-bridge's command line.
#pragma once

#include <string>
#include <vector>

namespace bridge {

constexpr const char* kDefaultConfig = "/etc/kdt212/bridge.ini";

struct CommandLine {
  enum class Action { kServe, kCheck, kHash, kHelp, kVersion, kRefuse };
  Action action = Action::kServe;
  std::string config = kDefaultConfig;
  bool verbose = false;
  // For kCheck: whose rights judge the files the configuration names;
  // empty, the default (FileAccess.h).
  std::string checkUser;
  std::string problem;  // for kRefuse, one line
};

CommandLine ReadCommandLine(const std::vector<std::string>& arguments);
std::string HelpText();

}  // namespace bridge
