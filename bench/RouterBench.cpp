// Measures the bridge's router faces against a simulated unit at the
// bridge's default INTERVAL of 10 ms: a route from a 9990 client and from
// an SW-P-08 client to its answer and to the broadcast that shows it at a
// second client; a change at the unit reaching 64 router clients; and the
// bridge's memory for each router client. Prints one line per figure with
// its goal; exits 0 only when every goal is met.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BridgeProcess.h"
#include "Loopback.h"
#include "ProcessFigures.h"
#include "Relays.h"
#include "Report.h"
#include "RouterPeers.h"
#include "SimUnit.h"

namespace {

using bench::Format;
using bench::Percentile;
using bench::Report;
using Clock = std::chrono::steady_clock;
using testsupport::Swp08Peer;
using testsupport::VideohubPeer;

constexpr int kRoutes = 300;
constexpr int kChanges = 200;
constexpr int kClients = 64;
constexpr int kMemoryClients = 256;
constexpr int kWaitMs = 5000;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Site {
  std::unique_ptr<sim::SimUnit> unit;
  int hubPort = testsupport::FreeLoopbackPort();
  int swp08Port = testsupport::FreeLoopbackPort();
  std::unique_ptr<bench::BridgeProcess> bridge;

  Site() {
    sim::SimOptions options;
    options.port = 0;
    unit = std::make_unique<sim::SimUnit>(options);
    std::string error;
    if (!unit->Start(error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::exit(2);
    }
    bridge = std::make_unique<bench::BridgeProcess>(
        "[UNIT studio]\nADDR=127.0.0.1\nPORT=" + std::to_string(unit->Port()) +
        "\nVIDEOHUB=127.0.0.1:" + std::to_string(hubPort) + "\nSWP08=127.0.0.1:" +
        std::to_string(swp08Port) + "\nMAXCLIENTS=" + std::to_string(kMemoryClients + 8) + "\n");
    // Up once a client is told the unit is present.
    for (auto until = Clock::now() + std::chrono::seconds(10); Clock::now() < until;) {
      VideohubPeer probe(hubPort, "127.0.0.1");
      const std::vector<testsupport::HubBlock> dump = probe.Dump(1000);
      if (dump.size() == 6 && dump[1].lines[0] == "Device present: true") return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::fprintf(stderr, "the bridge did not come up:\n%s\n", bridge->Log().c_str());
    std::exit(2);
  }
};

// From a route's sending to the sender's answer and to the block that shows
// it at another client: the later of the two.
std::vector<double> HubRoutes(Site& site) {
  VideohubPeer sender(site.hubPort, "127.0.0.1"), other(site.hubPort, "127.0.0.2");
  sender.Dump();
  other.Dump();
  std::vector<double> times;
  for (int i = 0; i < kRoutes; ++i) {
    const std::string line = "0 " + std::to_string((i + 1) % 2);
    const auto start = Clock::now();
    sender.Send("VIDEO OUTPUT ROUTING:\n" + line + "\n\n");
    const auto ack = sender.NextOf("ACK", kWaitMs);
    const auto shown = sender.NextOf("VIDEO OUTPUT ROUTING:", kWaitMs);
    const auto told = other.NextOf("VIDEO OUTPUT ROUTING:", kWaitMs);
    if (ack && shown && told && told->lines == std::vector<std::string>{line}) {
      times.push_back(MsSince(start));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + i % 7));  // off the poll's beat
  }
  return times;
}

std::vector<double> Swp08Routes(Site& site) {
  Swp08Peer sender(site.swp08Port, "127.0.0.1"), other(site.swp08Port, "127.0.0.2");
  std::vector<double> times;
  for (int i = 0; i < kRoutes; ++i) {
    const int source = (i + 1) % 2;  // RELAY B stands on source 0
    const auto start = Clock::now();
    sender.Message({0x02, 0x00, 0x00, 0x01, source});
    const auto answer = sender.NextOf(0x04, kWaitMs);
    const auto told = other.NextOf(0x04, kWaitMs);
    if (answer && told && told->At(4) == source) times.push_back(MsSince(start));
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + i % 7));
  }
  return times;
}

// From a change at the unit's front panel until the last of the clients
// (half of each protocol) has been told it.
std::vector<double> ChangesToMany(Site& site) {
  std::vector<std::unique_ptr<VideohubPeer>> hubs;
  std::vector<std::unique_ptr<Swp08Peer>> panels;
  for (int i = 0; i < kClients / 2; ++i) {
    hubs.push_back(std::make_unique<VideohubPeer>(site.hubPort, "127.0.0.1"));
    hubs.back()->Dump();
    panels.push_back(std::make_unique<Swp08Peer>(site.swp08Port, "127.0.0.1"));
  }
  std::vector<double> times;
  for (int i = 0; i < kChanges; ++i) {
    const int input = kdt::InputOf(site.unit->Status().state[1]) == 1 ? 2 : 1;  // RELAY B
    const auto start = Clock::now();
    site.unit->SetInput(2, std::uint8_t(input));  // RELAY B
    bool all = true;
    for (auto& hub : hubs) all = hub->NextOf("VIDEO OUTPUT ROUTING:", kWaitMs).has_value() && all;
    for (auto& panel : panels) all = panel->NextOf(0x04, kWaitMs).has_value() && all;
    if (all) times.push_back(MsSince(start));
    std::this_thread::sleep_for(std::chrono::milliseconds(3 + i % 11));
  }
  return times;
}

// The bridge's resident memory for each client more, with its dump read.
double KiBPerClient(Site& site) {
  const long before = bench::ResidentKb(site.bridge->Pid());
  std::vector<std::unique_ptr<VideohubPeer>> hubs;
  std::vector<std::unique_ptr<Swp08Peer>> panels;
  for (int i = 0; i < kMemoryClients / 2; ++i) {
    hubs.push_back(std::make_unique<VideohubPeer>(site.hubPort, "127.0.0.1"));
    hubs.back()->Dump();
    panels.push_back(std::make_unique<Swp08Peer>(site.swp08Port, "127.0.0.1"));
    panels.back()->Message({0x01, 0x00, 0x00, 0x00});
    panels.back()->NextOf(0x03, kWaitMs);
  }
  return double(bench::ResidentKb(site.bridge->Pid()) - before) / kMemoryClients;
}

bool ReportRoutes(const char* figure, const std::vector<double>& times) {
  const double p99 = Percentile(times, 0.99);
  return Report(figure, Format("median %.2f, p99 %.2f ms", Percentile(times, 0.5), p99),
                "p99 <= 10", p99 <= 10.0 && times.size() == std::size_t(kRoutes));
}

}  // namespace

int main() {
  Site site;
  bool met = ReportRoutes("9990 route to its answer and a second client's block", HubRoutes(site));
  met = ReportRoutes("SW-P-08 connect to its connected at both clients", Swp08Routes(site)) && met;
  const std::vector<double> many = ChangesToMany(site);
  const double p99 = Percentile(many, 0.99);
  met = Report("change at the unit to all of 64 router clients",
               Format("median %.2f, p99 %.2f ms", Percentile(many, 0.5), p99), "p99 <= 20",
               p99 <= 20.0 && many.size() == std::size_t(kChanges)) &&
        met;
  const double perClient = KiBPerClient(site);
  met = Report("bridge's memory per router client", Format("%.1f KiB", perClient), "<= 16 KiB",
               perClient <= 16.0) &&
        met;
  return met ? 0 : 1;
}
