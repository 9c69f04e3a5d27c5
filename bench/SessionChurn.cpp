// Starts and stops one session against the simulated unit many times, each
// connection exchanging at least one status, as hours of Autoconnect against
// a unit that keeps dropping would. The open descriptors, threads and
// resident memory of this process and of the unit's are sampled at the
// start and at the end: they must stay flat. Prints one line per figure with
// its goal; exits 0 only when every goal is met.
// Usage: session_churn [CYCLES]   (10000 by default)
#include <dirent.h>
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
// What "flat" allows: not one descriptor or thread more, and a little memory
// for what the allocator keeps.
constexpr long kRssToleranceKb = 2048;

struct Sample {
  long descriptors = 0;
  long threads = 0;
  long rssKb = 0;
};

long EntriesIn(const std::string& folder) {
  long count = 0;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

Sample Take(pid_t pid) {
  const std::string process = "/proc/" + std::to_string(pid);
  return {EntriesIn(process + "/fd"), EntriesIn(process + "/task"), bench::ResidentKb(pid)};
}

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

bool ReportFlat(const char* who, const Sample& before, const Sample& after) {
  bool met = true;
  const std::string figure = std::string(who);
  met &= Report((figure + ": open descriptors, start -> end").c_str(),
                Format("%.0f -> %.0f", double(before.descriptors), double(after.descriptors)),
                "equal", after.descriptors <= before.descriptors);
  met &= Report((figure + ": threads, start -> end").c_str(),
                Format("%.0f -> %.0f", double(before.threads), double(after.threads)), "equal",
                after.threads <= before.threads);
  met &= Report((figure + ": resident memory (KiB), start -> end").c_str(),
                Format("%.0f -> %.0f", double(before.rssKb), double(after.rssKb)), "+2048 KiB",
                after.rssKb - before.rssKb <= kRssToleranceKb);
  return met;
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
    const Sample consoleBefore = Take(getpid()), unitBefore = Take(unit.Pid());
    int withStatus = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < cycles; ++i) withStatus += Cycle(session, port);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The unit joins a finished connection's thread on its next round.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const Sample consoleAfter = Take(getpid()), unitAfter = Take(unit.Pid());
    allMet &= Report("connections that exchanged a status",
                     Format("%.0f of %.0f in %.1f s", withStatus, cycles, seconds), "all",
                     withStatus == cycles);
    allMet &= ReportFlat("console", consoleBefore, consoleAfter);
    allMet &= ReportFlat("simulated unit", unitBefore, unitAfter);
  }
  kdt::UnitThreadShutdown();
  return allMet ? 0 : 1;
}
