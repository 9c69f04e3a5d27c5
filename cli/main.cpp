// kdt212ctl: the KDT-212 unit from scripts and home-automation hubs.
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "Address.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "Options.h"
#include "Platform.h"
#include "TcpSockets.h"
#include "Version.h"

namespace {

// Set by Ctrl+C and the like: the run gives up what it waits for and says
// goodbye.
std::atomic<bool> interrupted{false};

int Refuse(const std::string& problem) {
  std::fprintf(stderr, "kdt212ctl: %s; %s\n", problem.c_str(), cli::UsageLine().c_str());
  return cli::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  cli::Options options;
  std::string problem;
  kdt::UseUtf8Console();
  if (!cli::ParseOptions(kdt::ProgramArguments(argc, argv), options, problem)) {
    return Refuse(problem);
  }
  if (options.command == cli::Command::kHelp) {
    std::fputs(cli::HelpText().c_str(), stdout);
    return cli::kExitOk;
  }
  if (options.command == cli::Command::kVersion) {
    std::printf("kdt212ctl %s\n", KDT_VERSION);
    return cli::kExitOk;
  }
  cli::UnitAddress unit;
  if (!cli::FindUnitAddress(options.address, kdt::OwnExecutablePath(), unit, problem)) {
    return Refuse(problem);
  }
  kdt::CatchInterrupts(interrupted);
  tcp::SockStartup();
  const int result = cli::RunCommand(options, unit, interrupted);
  tcp::SockCleanup();
  return result;
}
