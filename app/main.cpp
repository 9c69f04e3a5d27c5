// kdt212-panel: the operator's console for the KDT-212 relay switch unit.
#include <QApplication>
#include <cstdio>

#include "CommandLine.h"
#include "TcpSockets.h"
#include "TerminationSignals.h"
#include "UnitMain.h"
#include "UnitThread.h"

namespace {

constexpr int kUsageExit = 2;

int Refuse(const std::string& problem) {
  std::fprintf(stderr, "kdt212-panel: %s; %s\n", problem.c_str(), kdt::UsageLine().c_str());
  return kUsageExit;
}

}  // namespace

int main(int argc, char** argv) {
  const kdt::CommandLine line = kdt::TakeCommandLine(argc, argv);
  switch (line.action) {
    case kdt::CommandLine::Action::kHelp:
      std::fputs(kdt::HelpText().c_str(), stdout);
      return 0;
    case kdt::CommandLine::Action::kVersion:
      std::fputs(kdt::VersionText().c_str(), stdout);
      return 0;
    case kdt::CommandLine::Action::kRefuse:
      return Refuse(line.problem);
    case kdt::CommandLine::Action::kRun:
      break;
  }
  tcp::SockStartup();
  int result = 0;
  {
    QApplication app(argc, argv);
    kdt::UnitThreadStartup();
    kdt::RegisterFonts();
    kdt::TerminationSignals termination;
    {
      kdt::TFormMain formMain(line.settingsFile);
      formMain.show();
      // A signal during start-up (while a message box waits) skips the loop.
      if (!termination.Requested()) result = QApplication::exec();
    }  // FormDestroy: the settings are saved, then the session ends
    kdt::UnitThreadShutdown();
  }
  tcp::SockCleanup();
  return result;
}
