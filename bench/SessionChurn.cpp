// Starts and stops one session against the simulated unit many times, each
// connection exchanging at least one status, as hours of Autoconnect against
// a unit that keeps dropping would. The open descriptors, threads and
// resident memory of this process and of the unit's are sampled at the
// start and at the end: they must stay flat. Prints one line per figure with
// its goal; exits 0 only when every goal is met.
// Usage: session_churn [CYCLES]   (10000 by default)
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "Loopback.h"
#include "ProcessFigures.h"
#include "Report.h"
#include "SimProcess.h"
#include "UnitThread.h"

namespace {

using bench::Format;
using bench::Report;

constexpr int kDefaultCycles = 10000;
constexpr int kWarmUpCycles = 100;  // lets caches and pools reach their size first
// One connection: started, its first status seen, stopped, its end delivered.
bool Cycle(kdt::TQmObject& session, int port) {
  bool status = false, ended = false;
  session.OnStatus.Assign([&](kdt::TQmObject*) { status = true; });
  session.OnDisconnect.Assign([&](kdt::TQmObject*, std::int32_t) { ended = true; });
  session.Start("127.0.0.1", port, 1);
  auto start = std::chrono::steady_clock::now();
  while (!status && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  session.Stop();
  while (!ended) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int cycles = argc > 1 ? std::atoi(argv[1]) : kDefaultCycles;
  kdt::UnitThreadStartup();
  bool allMet = true;
  {
    const int port = testsupport::FreeLoopbackPort();
    bench::SimProcess unit(port);
    close(bench::ConnectBlocking(port));  // wait until it listens
    kdt::TQmObject session;               // one for all, as the console keeps one
    for (int i = 0; i < kWarmUpCycles; ++i) Cycle(session, port);
    const bench::ProcessSample consoleBefore = bench::SampleOf(getpid()),
                               unitBefore = bench::SampleOf(unit.Pid());
    int withStatus = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < cycles; ++i) withStatus += Cycle(session, port);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The unit joins a finished connection's thread on its next round.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const bench::ProcessSample consoleAfter = bench::SampleOf(getpid()),
                               unitAfter = bench::SampleOf(unit.Pid());
    allMet &= Report("connections that exchanged a status",
                     Format("%.0f of %.0f in %.1f s", withStatus, cycles, seconds), "all",
                     withStatus == cycles);
    allMet &= bench::ReportFlat("console", consoleBefore, consoleAfter);
    allMet &= bench::ReportFlat("simulated unit", unitBefore, unitAfter);
  }
  kdt::UnitThreadShutdown();
  return allMet ? 0 : 1;
}
