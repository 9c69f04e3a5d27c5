// kdt212ctl: the KDT-212 unit from scripts and home-automation hubs.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "Address.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "Options.h"

namespace {

// Ctrl+C, and the ends that a service manager or a logout sends: the run
// gives up what it waits for and says goodbye. A second one ends it at once.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnInterrupt(int signal) {
  if (interrupted.exchange(true)) {
    ::signal(signal, SIG_DFL);
    raise(signal);
  }
}

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

std::string OwnPath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, std::size_t(length)) : std::string();
}

int Refuse(const std::string& problem) {
  std::fprintf(stderr, "kdt212ctl: %s; %s\n", problem.c_str(), cli::UsageLine().c_str());
  return cli::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  cli::Options options;
  std::string problem;
  if (!cli::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, problem)) {
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
  if (!cli::FindUnitAddress(options.address, OwnPath(), unit, problem)) return Refuse(problem);
  CatchInterrupts();
  return cli::RunCommand(options, unit, interrupted);
}
