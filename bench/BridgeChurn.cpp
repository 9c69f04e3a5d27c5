// One run of kdt212-bridge through what a site does to it over weeks:
// 10,000 clients of its endpoint that connect, poll and leave (some with a
// goodbye, some with a reset, some stalled inside a frame), 100 restarts of
// its unit and 20 of the broker. Its open descriptors, threads and resident
// memory are sampled at the start and at the end: they must stay flat.
// Prints one line per figure with its goal; exits 0 only when every goal is
// met. Usage: bridge_churn [CLIENTS]   (10000 by default)
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "BridgeProcess.h"
#include "Broker.h"
#include "Loopback.h"
#include "ProcessFigures.h"
#include "Report.h"
#include "SimProcess.h"
#include "UnitFrames.h"

namespace {

using bench::Format;
using bench::Report;
using Clock = std::chrono::steady_clock;

constexpr int kDefaultClients = 10000;
constexpr int kWarmUpClients = 300;
constexpr int kUnitRestarts = 100;
constexpr int kBrokerRestarts = 20;
constexpr std::size_t kMostStalledAtOnce = 40;

// A client of the endpoint and one poll; false when it was not answered
// (the unit is being restarted).
bool Polled(tcp::Socket& socket, int port) {
  kdt::FrameBuffer buffer;
  kdt::LoadFrame(buffer, kdt::PollFrame());
  return tcp::SockOpen(socket) && tcp::SockConnectTimeout(socket, "127.0.0.1", port, 3000) &&
         kdt::SendFrame(socket, buffer) && kdt::ReceiveReply(socket, buffer, nullptr, 3000);
}

// The client leaves in one of the ways clients do; a stalled one stays, a
// frame begun, until the bridge closes it.
void Leave(tcp::Socket socket, int i, std::deque<tcp::Socket>& stalled) {
  kdt::FrameBuffer buffer;
  switch (i % 10) {
    case 0: {
      const std::uint8_t begun[] = {0x04, 0x02};
      tcp::SockSendAll(socket, begun, 2, 1000);
      stalled.push_back(socket);
      while (stalled.size() > kMostStalledAtOnce) {
        tcp::SockClose(stalled.front());
        stalled.pop_front();
      }
      return;
    }
    case 1:
    case 2:
    case 3:
      kdt::LoadFrame(buffer, kdt::GoodbyeFrame());
      kdt::SendFrame(socket, buffer);
      kdt::ReceiveReply(socket, buffer, nullptr, 1000);
      break;
    case 4:
    case 5:
    case 6: {
      const linger reset{1, 0};
      setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      break;
    }
    default:
      break;
  }
  tcp::SockClose(socket);
}

// Until the bridge's session is back and answers a client again.
bool ServedAgain(int port) {
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(10)) {
    tcp::Socket socket = tcp::kInvalidSocket;
    const bool polled = Polled(socket, port);
    tcp::SockClose(socket);
    if (polled) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int Count(const std::string& text, const std::string& what) {
  int count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  const int clients = argc > 1 ? std::atoi(argv[1]) : kDefaultClients;
  testsupport::Broker broker;
  const int unitPort = testsupport::FreeLoopbackPort(), listen = testsupport::FreeLoopbackPort();
  auto unit = std::make_unique<bench::SimProcess>(unitPort);
  close(bench::ConnectBlocking(unitPort));
  bench::BridgeProcess bridge("[UNIT churn]\nADDR=127.0.0.1\nPORT=" + std::to_string(unitPort) +
                              "\nLISTEN=127.0.0.1:" + std::to_string(listen) +
                              "\nMAXCLIENTS=200\n[MQTT]\nPORT=" + std::to_string(broker.Port()) +
                              "\n");
  if (!ServedAgain(listen)) {
    std::fprintf(stderr, "the bridge never served\n%s", bridge.Log().c_str());
    return 2;
  }
  std::deque<tcp::Socket> stalled;
  for (int i = 0; i < kWarmUpClients; ++i) {
    tcp::Socket socket = tcp::kInvalidSocket;
    Polled(socket, listen);
    Leave(socket, i, stalled);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));  // the stalled are closed
  const bench::ProcessSample before = bench::SampleOf(bridge.Pid());

  int answered = 0;
  const int unitEvery = std::max(1, clients / kUnitRestarts);
  const int brokerEvery = std::max(1, clients / kBrokerRestarts);
  const auto start = Clock::now();
  for (int i = 0; i < clients; ++i) {
    if (i % unitEvery == unitEvery / 2) {
      unit.reset();
      unit = std::make_unique<bench::SimProcess>(unitPort);
      ServedAgain(listen);
    }
    if (i % brokerEvery == brokerEvery / 2) {
      broker.Stop();
      broker.Start();
    }
    tcp::Socket socket = tcp::kInvalidSocket;
    answered += Polled(socket, listen);
    Leave(socket, i, stalled);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (tcp::Socket socket : stalled) tcp::SockClose(socket);
  // Settled: the broker's connection back (its back-off at its longest),
  // every client gone.
  const int connected = Count(bridge.Log(), "mqtt: connected to");
  const auto settling = Clock::now();
  while (Count(bridge.Log(), "mqtt: connected to") == connected &&
         Clock::now() - settling < std::chrono::seconds(45)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  const bench::ProcessSample after = bench::SampleOf(bridge.Pid());

  std::printf("%d clients, %d restarts of the unit and %d of the broker, in %.0f s\n", clients,
              kUnitRestarts, kBrokerRestarts, seconds);
  bool allMet =
      Report("clients answered (the rest met a unit restarting)",
             Format("%.0f of %.0f", answered, clients), ">= 90 %", answered * 10 >= clients * 9);
  allMet &= bench::ReportFlat("bridge", before, after);
  return allMet ? 0 : 1;
}
