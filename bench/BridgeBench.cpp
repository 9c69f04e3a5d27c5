// Measures kdt212-bridge between the simulated unit and its clients on
// loopback, and checks each figure against its goal: how many exchanges 32
// clients make through it against the same clients at the unit itself, how
// soon a change at the unit reaches a polling client, the memory an idle
// client costs, and the CPU of a bridge without clients against the
// console's session alone. Prints one line per figure; exits 0 only when
// every goal is met.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BridgeProcess.h"
#include "Loopback.h"
#include "ProcessFigures.h"
#include "Report.h"
#include "SimProcess.h"
#include "SimUnit.h"
#include "UnitThread.h"

namespace {

using bench::Format;
using bench::Percentile;
using bench::Report;
using Clock = std::chrono::steady_clock;

constexpr int kClients = 32;
constexpr int kIdleClients = 256;
constexpr int kChanges = 200;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// One exchange on a blocking socket: the frame out, the 83-byte reply in.
bool Exchange(int fd, const kdt::Frame& frame, std::uint8_t* reply) {
  if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size())) return false;
  for (std::size_t got = 0; got < kdt::kReplyLength;) {
    const ssize_t n = recv(fd, reply + got, kdt::kReplyLength - got, 0);
    if (n <= 0) return false;
    got += std::size_t(n);
  }
  return true;
}

// A connection that has been served a status: the bridge closes clients
// while its session is not live yet, so it is tried again until it is.
int ServedConnection(int port) {
  const auto start = Clock::now();
  std::uint8_t reply[kdt::kReplyLength];
  while (Seconds(Clock::now() - start) < 10) {
    const int fd = bench::ConnectBlocking(port);
    if (Exchange(fd, kdt::PollFrame(), reply)) return fd;
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::fprintf(stderr, "nothing served on port %d\n", port);
  std::exit(2);
}

// `clients` connections polling back to back for `seconds`: exchanges/s.
double PollingRate(int port, int clients, double seconds) {
  std::vector<int> fds;
  for (int i = 0; i < clients; ++i) fds.push_back(ServedConnection(port));
  std::atomic<long> exchanges{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int fd : fds) {
    threads.emplace_back([&, fd] {
      std::uint8_t reply[kdt::kReplyLength];
      const kdt::Frame poll = kdt::PollFrame();
      while (!go) std::this_thread::yield();
      const auto start = Clock::now();
      long mine = 0;
      while (Seconds(Clock::now() - start) < seconds && Exchange(fd, poll, reply)) ++mine;
      exchanges += mine;
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  for (int fd : fds) close(fd);
  return double(exchanges) / seconds;
}

// From a change at the unit to a client's reply through the bridge that
// shows it, in ms, the client polling back to back.
std::vector<double> ChangeToClient(sim::SimUnit& unit, int port) {
  const int fd = ServedConnection(port);
  std::atomic<long long> changedAt{0};
  std::atomic<int> expected{1};
  std::atomic<bool> done{false};
  std::vector<double> latencies;
  std::thread client([&] {
    std::uint8_t reply[kdt::kReplyLength];
    const kdt::Frame poll = kdt::PollFrame();
    while (!done && Exchange(fd, poll, reply)) {
      const long long at = changedAt;
      const int input = kdt::InputOf(reply[kdt::kReplyFirstRelayOffset]);
      if (at != 0 && input == expected) {
        latencies.push_back(double(Clock::now().time_since_epoch().count() - at) / 1e6);
        changedAt = 0;
      }
    }
  });
  for (int i = 0; i < kChanges; ++i) {
    expected = expected == 1 ? 2 : 1;
    changedAt = Clock::now().time_since_epoch().count();
    unit.SetInput(1, std::uint8_t(expected.load()));
    const auto start = Clock::now();
    while (changedAt != 0 && Seconds(Clock::now() - start) < 1) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3 + i % 7));  // off the cycle's beat
  }
  done = true;
  client.join();
  close(fd);
  return latencies;
}

// The bridge's resident memory with idle clients, less without: KiB a client.
double KibPerIdleClient(const bench::BridgeProcess& bridge, int port) {
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long before = bench::ResidentKb(bridge.Pid());
  std::vector<int> fds;
  for (int i = 0; i < kIdleClients; ++i) fds.push_back(ServedConnection(port));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long after = bench::ResidentKb(bridge.Pid());
  for (int fd : fds) close(fd);
  return double(after - before) / kIdleClients;
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void Pump(double seconds) {
  const auto start = Clock::now();
  while (Seconds(Clock::now() - start) < seconds) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);  // a rate comes twice a second
  }
}

// The console's session alone, against the unit: CPU seconds per second.
double SessionCpuShare(int port, double seconds) {
  kdt::TQmObject session;
  session.Start("127.0.0.1", port, 1);
  Pump(0.5);  // connected, and past its start
  const double before = ProcessCpuSeconds();
  const auto start = Clock::now();
  Pump(seconds);
  const double share = (ProcessCpuSeconds() - before) / Seconds(Clock::now() - start);
  session.Stop();
  return share;
}

// A bridge serving the unit to nobody: its CPU seconds per second.
double BridgeCpuShare(int port, double seconds) {
  bench::BridgeProcess bridge("[UNIT u]\nADDR=127.0.0.1\nPORT=" + std::to_string(port) +
                              "\nINTERVAL=1\n");  // the console's pace
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double before = bench::CpuSecondsOf(bridge.Pid());
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return (bench::CpuSecondsOf(bridge.Pid()) - before) / Seconds(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  kdt::UnitThreadStartup();
  bool allMet = true;
  {
    sim::SimOptions options;
    options.port = 0;
    sim::SimUnit unit(options);
    std::string error;
    if (!unit.Start(error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 2;
    }
    const int listenPort = testsupport::FreeLoopbackPort();
    // At the console's pace, so that what is measured is the bridge's own.
    bench::BridgeProcess bridge("[UNIT u]\nADDR=127.0.0.1\nPORT=" + std::to_string(unit.Port()) +
                                "\nINTERVAL=1\nLISTEN=127.0.0.1:" + std::to_string(listenPort) +
                                "\nMAXCLIENTS=300\n");
    close(ServedConnection(listenPort));
    int unitConnections = unit.ConnectionsAccepted();  // the bridge's

    // In turns, so that both meet the same moods of a shared machine.
    constexpr int kRounds = 4;
    double direct = 0, through = 0;
    for (int round = 0; round < kRounds; ++round) {
      direct += PollingRate(unit.Port(), kClients, 1.5) / kRounds;
      const int before = unit.ConnectionsAccepted();
      through += PollingRate(listenPort, kClients, 1.5) / kRounds;
      unitConnections += unit.ConnectionsAccepted() - before;
    }
    allMet &= Report("32 clients polling, through the bridge vs at the unit (exchanges/s)",
                     Format("%.0f / %.0f = %.2f", through, direct, through / direct), ">= 0.80",
                     through / direct >= 0.8);
    allMet &= Report("  the unit's connections while they went through the bridge",
                     Format("%.0f", unitConnections), "1", unitConnections == 1);

    const std::vector<double> latencies = ChangeToClient(unit, listenPort);
    const double p99 = Percentile(latencies, 0.99);
    allMet &= Report("change at the unit -> a polling client's reply (ms)",
                     Format("median %.2f, p99 %.2f", Percentile(latencies, 0.5), p99), "p99 <= 3",
                     p99 <= 3.0 && latencies.size() == std::size_t(kChanges));

    const double perClient = KibPerIdleClient(bridge, listenPort);
    allMet &= Report("resident memory of the bridge, an idle client (KiB)",
                     Format("%.1f", perClient), "<= 64", perClient <= 64);
  }
  {
    const int port = testsupport::FreeLoopbackPort();
    bench::SimProcess unit(port);
    close(bench::ConnectBlocking(port));
    double session = 0, bridge = 0;
    constexpr int kRounds = 4;
    for (int round = 0; round < kRounds; ++round) {
      session += SessionCpuShare(port, 2.0) / kRounds;
      bridge += BridgeCpuShare(port, 2.0) / kRounds;
    }
    allMet &=
        Report("CPU, a bridge with no client vs the console's session",
               Format("%.2f %% / %.2f %% = %.2f", bridge * 100, session * 100, bridge / session),
               "<= 1.10", bridge / session <= 1.1);
  }
  kdt::UnitThreadShutdown();
  return allMet ? 0 : 1;
}
