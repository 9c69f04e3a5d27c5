// Measures kdt212-bridge on MQTT, against the real broker (Debian's
// mosquitto on a free loopback port) and simulated units: how soon a change
// at a unit reaches a subscriber, and a bridge of 20 units, each polled every
// 10 ms, delivering 200 changes with exactly one message per changed topic,
// and the CPU it takes meanwhile. Prints one line per figure with its goal;
// exits 0 only when every goal is met.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BridgeProcess.h"
#include "Broker.h"
#include "MqttProbe.h"
#include "ProcessFigures.h"
#include "Report.h"
#include "SimProcess.h"
#include "SimUnit.h"

namespace {

using bench::Format;
using bench::Percentile;
using bench::Report;
using Clock = std::chrono::steady_clock;
using testsupport::Received;

constexpr int kLatencyChanges = 200;
constexpr int kUnits = 20;
constexpr int kChanges = 200;
constexpr int kWaitMs = 10000;

std::string MqttSection(const testsupport::Broker& broker) {
  return "[MQTT]\nPORT=" + std::to_string(broker.Port()) + "\nDISCOVERY=\n";
}

std::unique_ptr<sim::SimUnit> StartUnit() {
  sim::SimOptions options;
  options.port = 0;
  auto unit = std::make_unique<sim::SimUnit>(options);
  std::string error;
  if (!unit->Start(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::exit(2);
  }
  return unit;
}

// From a change at the unit to the subscriber's state message showing it, ms.
std::vector<double> ChangeToSubscriber(const testsupport::Broker& broker) {
  auto unit = StartUnit();
  // At the console's pace, so that what is measured is the bridge's own.
  bench::BridgeProcess bridge("[UNIT u]\nADDR=127.0.0.1\nPORT=" + std::to_string(unit->Port()) +
                              "\nINTERVAL=1\n" + MqttSection(broker));
  testsupport::MqttProbe subscriber(broker.Port());
  subscriber.Connected();
  subscriber.Subscribe("kdt212/u/state");
  subscriber.WaitUntil([](const std::vector<Received>& m) { return !m.empty(); }, kWaitMs);
  std::vector<double> latencies;
  int input = 1;
  for (int i = 0; i < kLatencyChanges; ++i) {
    input = input == 1 ? 2 : 1;
    const std::string shows = "\"relay\":\"C\",\"number\":1,\"input\":" + std::to_string(input);
    subscriber.Forget();
    const auto changed = Clock::now();
    unit->SetInput(1, std::uint8_t(input));
    Received seen;
    if (!subscriber.WaitUntil(
            [&](const std::vector<Received>& messages) {
              for (const Received& m : messages) {
                if (m.payload.find(shows) != std::string::npos) {
                  seen = m;
                  return true;
                }
              }
              return false;
            },
            kWaitMs)) {
      continue;
    }
    latencies.push_back(std::chrono::duration<double, std::milli>(seen.at - changed).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(3 + i % 7));  // off the cycle's beat
  }
  return latencies;
}

struct ManyUnits {
  int delivered = 0;    // changes whose topic showed them
  int topicsWrong = 0;  // topics with other than one message per change
  double cpuShare = 0;  // of one core
};

// 20 units on addresses of their own, each a process of its own, and 200
// changes at their front panels one after another.
ManyUnits TwentyUnits(const testsupport::Broker& broker) {
  constexpr int kPort = 10001;
  std::vector<std::unique_ptr<bench::SimProcess>> units;
  std::vector<std::array<int, kdt::kRelayCount>> inputs(kUnits, {1, 1, 1});
  std::string config = MqttSection(broker);
  for (int i = 0; i < kUnits; ++i) {
    const std::string address = "127.0.1." + std::to_string(i + 1);
    units.push_back(std::make_unique<bench::SimProcess>(kPort, address));
    close(bench::ConnectBlocking(kPort, address));  // it listens
    config += "[UNIT u" + std::to_string(i) + "]\nADDR=" + address + "\nINTERVAL=10\n";
  }
  testsupport::MqttProbe subscriber(broker.Port());
  subscriber.Connected();
  subscriber.Subscribe("kdt212/#");
  bench::BridgeProcess bridge(config);
  subscriber.WaitUntil(
      [](const std::vector<Received>& messages) {
        return std::count_if(messages.begin(), messages.end(), [](const Received& m) {
                 return m.topic.ends_with("/status") && m.payload == "online";
               }) >= kUnits + 1;
      },
      kWaitMs);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  subscriber.Forget();
  std::mt19937 random(212);
  std::map<std::string, int> expected;  // topic: messages it should get
  ManyUnits figures;
  const double cpuBefore = bench::CpuSecondsOf(bridge.Pid());
  const auto start = Clock::now();
  for (int i = 0; i < kChanges; ++i) {
    const int u = int(random() % kUnits), relay = int(random() % kdt::kRelayCount) + 1;
    int& input = inputs[u][relay - 1];
    input = input == 1 ? 2 : 1;
    const std::string prefix = "kdt212/u" + std::to_string(u) + "/";
    const std::string topic = prefix + "relay/" + char('a' + kdt::kRelayCount - relay) + "/input";
    units[u]->Command("input " + std::to_string(relay) + " " + std::to_string(input));
    ++expected[topic];
    ++expected[prefix + "state"];
    figures.delivered += subscriber.WaitUntil(
        [&](const std::vector<Received>& messages) {
          return testsupport::CountIn(messages, topic) == expected[topic] &&
                 testsupport::LatestIn(messages, topic) == "INPUT " + std::to_string(input);
        },
        kWaitMs);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  figures.cpuShare = (bench::CpuSecondsOf(bridge.Pid()) - cpuBefore) / seconds;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // anything more would come now
  std::map<std::string, int> got;
  for (const Received& message : subscriber.Messages()) ++got[message.topic];
  for (const auto& [topic, count] : got) figures.topicsWrong += count != expected[topic];
  for (const auto& [topic, count] : expected) figures.topicsWrong += got[topic] != count;
  return figures;
}

}  // namespace

int main() {
  bool allMet = true;
  testsupport::Broker broker;
  const std::vector<double> latencies = ChangeToSubscriber(broker);
  const double p99 = Percentile(latencies, 0.99);
  allMet &= Report("change at the unit -> subscriber's state message (ms)",
                   Format("median %.2f, p99 %.2f", Percentile(latencies, 0.5), p99), "p99 <= 5",
                   p99 <= 5.0 && latencies.size() == std::size_t(kLatencyChanges));
  const ManyUnits many = TwentyUnits(broker);
  allMet &=
      Report("20 units, INTERVAL=10: changes delivered",
             Format("%.0f of %.0f", many.delivered, kChanges), "all", many.delivered == kChanges);
  allMet &= Report("  topics without exactly one message per change",
                   Format("%.0f", many.topicsWrong), "0", many.topicsWrong == 0);
  allMet &=
      Report("  CPU of the bridge, share of one core",
             Format("%.1f %% (%.2f %% a unit)", many.cpuShare * 100, many.cpuShare * 100 / kUnits),
             "<= 10 %", many.cpuShare <= 0.10);
  return allMet ? 0 : 1;
}
