// The bridge on MQTT as a site grows and a hub behaves: several bridges on
// one broker, floods of commands, the hub's habits with retained messages,
// a broker that says nothing, and the back-off; the real kdt212-bridge,
// simulated units and the real broker (Debian's mosquitto), with a client of
// the test's own in the hub's place.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "BridgeFixture.h"
#include "Broker.h"
#include "LoopbackPeer.h"
#include "MqttProbe.h"
#include "PanelCommands.h"

using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;

std::string Hostname() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return host;
}

QJsonObject Json(const std::string& payload) {
  return QJsonDocument::fromJson(QByteArray::fromStdString(payload)).object();
}

std::string Mqtt(const Broker& broker, const std::string& more = "") {
  return "[MQTT]\nHOST=127.0.0.1\nPORT=" + std::to_string(broker.Port()) + "\n" + more;
}

// A simulated unit of its own, on a port the kernel picks.
std::unique_ptr<sim::SimUnit> Unit() {
  sim::SimOptions options;
  options.port = 0;
  std::string error;
  auto unit = StartRecordingUnit(options, error);
  EXPECT_TRUE(unit) << error;
  return unit;
}

void Panel(sim::SimUnit& unit, const std::string& line) {
  std::string reply;
  ASSERT_TRUE(sim::RunPanelCommand(unit, line, reply)) << reply;
}

class MqttFieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    broker_ = std::make_unique<Broker>();
    hub_ = std::make_unique<MqttProbe>(broker_->Port());
    ASSERT_TRUE(hub_->Connected());
    hub_->Subscribe("#");
  }

  std::unique_ptr<Broker> broker_;
  std::unique_ptr<MqttProbe> hub_;
};

// The README's advice for a site that grows: bridges with a CLIENTID each,
// under one TOPIC. The second clears nothing of the first's, and the first's
// last will makes only its own units unavailable.
TEST_F(MqttFieldTest, TwoBridgesUnderOneTopicKeepEachOthersUnits) {
  auto studio = Unit(), hall = Unit();
  const std::string studioSelect = "homeassistant/select/kdt212/studio_relay_a_input/config";
  const std::string hallSelect = "homeassistant/select/kdt212/hall_relay_a_input/config";
  BridgeProcess first(UnitSection("studio", studio->Port()) + Mqtt(*broker_, "CLIENTID=east\n"));
  ASSERT_TRUE(hub_->WaitForTopic(studioSelect)) << first.Log();
  BridgeProcess second(UnitSection("hall", hall->Port()) + Mqtt(*broker_, "CLIENTID=west\n"));
  ASSERT_TRUE(hub_->WaitForTopic(hallSelect)) << second.Log();
  ASSERT_TRUE(hub_->WaitFor("kdt212/bridge/west/status", "online"));
  EXPECT_EQ(second.CountAfter(1000, "no longer in the configuration"), 0) << second.Log();
  EXPECT_FALSE(Json(hub_->Latest(studioSelect)).isEmpty());  // not cleared
  const QJsonObject hallConfig = Json(hub_->Latest(hallSelect));
  EXPECT_EQ(hallConfig["device"].toObject()["via_device"].toString(), "kdt212_bridge_west");
  EXPECT_EQ(hallConfig["availability"].toArray()[0].toObject()["topic"].toString(),
            "kdt212/bridge/west/status");

  hub_->Forget();
  first.Process().Signal(SIGKILL);  // its last will
  ASSERT_TRUE(hub_->WaitFor("kdt212/bridge/east/status", "offline"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(hub_->Count("kdt212/bridge/west/status"), 0);
  EXPECT_EQ(hub_->Count(hallSelect), 0);
  EXPECT_EQ(hub_->Count("kdt212/hall/status"), 0);
}

// One unit id served by two bridges under one TOPIC: each says so once,
// naming the other.
TEST_F(MqttFieldTest, AUnitIdOfTwoBridgesIsOneLineInEach) {
  auto one = Unit(), other = Unit();
  BridgeProcess first(UnitSection("studio", one->Port()) + Mqtt(*broker_, "CLIENTID=east\n"));
  ASSERT_TRUE(hub_->WaitFor("kdt212/studio/status", "online")) << first.Log();
  BridgeProcess second(UnitSection("studio", other->Port()) + Mqtt(*broker_, "CLIENTID=west\n"));
  ASSERT_TRUE(
      second.WaitForLog("mqtt: unit studio is served by bridge \"east\" too, under the "
                        "same TOPIC kdt212: give it another id in one of them"))
      << second.Log();
  ASSERT_TRUE(first.WaitForLog("mqtt: unit studio is served by bridge \"west\" too"))
      << first.Log();
  Panel(*other, "name A Elsewhere");  // the configurations go back and forth
  EXPECT_EQ(first.CountAfter(2000, "is served by bridge"), 1) << first.Log();
  EXPECT_EQ(second.CountAfter(0, "is served by bridge"), 1) << second.Log();
}

// A hub looping INPUT 1 and INPUT 2 as fast as it can: one command per
// relay waits at a time, so that the relay stops moving once the flood
// ends, and a client of the endpoint is served in its turn meanwhile. Had
// every command waited its turn instead, the unit (20 ms a reply) would go
// on switching for seconds after the flood, and the client would wait
// behind the hundreds that the queue holds.
TEST_F(MqttFieldTest, AFloodOfCommandsStopsWithTheFlood) {
  constexpr int kFlood = 3000;
  auto studio = Unit();
  studio->SetDelay(20);  // a unit on a slow network
  const int listen = FreeLoopbackPort();
  BridgeProcess bridge(UnitSection("studio", studio->Port(), listen) + Mqtt(*broker_));
  ASSERT_TRUE(hub_->WaitFor("kdt212/studio/status", "online")) << bridge.Log();
  EndpointClient client(listen);
  kdt::UnitStatus status;
  ASSERT_TRUE(client.Poll(status));
  // It lives until the test has seen its last message arrive: a client that
  // ends may drop what it has not sent yet.
  MqttProbe publisher(broker_->Port());
  ASSERT_TRUE(publisher.Connected());
  std::thread flood([&] {
    for (int i = 0; i < kFlood; ++i) {
      publisher.Publish("kdt212/studio/relay/a/input/set", i % 2 == 0 ? "INPUT 2" : "INPUT 1");
    }
    publisher.Publish("kdt212/studio/relay/a/input/set", "INPUT 2");  // the last word
    // Behind it on the same connection, and taken at once: once the hub
    // sees this protect, the bridge has had every command of the flood.
    publisher.Publish("kdt212/studio/relay/c/protected/set", "ON");
  });
  std::int64_t slowest = 0;
  const auto floodStart = Clock::now();
  for (int turn = 0; hub_->Latest("kdt212/studio/relay/c/protected") != "mqtt"; ++turn) {
    const auto start = Clock::now();
    ASSERT_TRUE(client.Exchange(kdt::SetNameFrame(1, "Turn " + std::to_string(turn)), status));
    slowest = std::max(slowest, ElapsedMs(start));
    ASSERT_LT(ElapsedMs(floodStart), 4 * kBridgeWaitMs) << "the flood never ended";
  }
  flood.join();
  // At most the command with the unit and the one that waits go after it.
  const std::size_t afterTheFlood = FramesWithCode(*studio, kdt::kCmdSetInput).size();
  ASSERT_TRUE(
      WaitUntil([&] { return kdt::InputOf(studio->Status().state[2]) == 2; }, kBridgeWaitMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_LE(FramesWithCode(*studio, kdt::kCmdSetInput).size(), afterTheFlood + 2);
  EXPECT_EQ(kdt::InputOf(studio->Status().state[2]), 2);
  EXPECT_LT(slowest, 2500) << "an endpoint client waited behind the flood";
  EXPECT_TRUE(bridge.WaitForLog("replaces a command of the hub's not yet sent")) << bridge.Log();
  EXPECT_LT(bridge.CountAfter(0, "replaces a command"), 5);  // summed up, not a line each
}

// The hub's habits: an empty retained message clears a retained command and
// is no command; a command published retained is never carried out, not
// even while the bridge is connected and the broker hands it on live.
TEST_F(MqttFieldTest, RetainedAndEmptyCommandsAreNoCommands) {
  auto studio = Unit();
  const std::string topic = "kdt212/studio/relay/c/name/set";
  hub_->Publish(topic, "Left retained", true);  // before the bridge starts
  BridgeProcess bridge(UnitSection("studio", studio->Port()) + Mqtt(*broker_));
  ASSERT_TRUE(hub_->WaitFor("kdt212/studio/status", "online")) << bridge.Log();
  hub_->Publish(topic, "Live but retained", true);
  hub_->Publish(topic, "", true);  // how a hub clears it
  hub_->Publish("kdt212/studio/relay/a/name/set", "");
  hub_->Publish("kdt212/studio/relay/b/name/set", std::string(24, 'x'));  // the longest name
  ASSERT_TRUE(hub_->WaitFor("kdt212/studio/relay/b/name", std::string(24, 'x'))) << bridge.Log();
  EXPECT_EQ(studio->Status().name[0], "Main feed");
  EXPECT_EQ(studio->Status().name[2], "Monitor");
  EXPECT_EQ(FramesWithCode(*studio, kdt::kCmdSetName).size(), 1u);
  EXPECT_TRUE(bridge.WaitForLog("\"Left retained\" ignored: a retained command")) << bridge.Log();
  bridge.Process().Signal(SIGHUP);  // nothing is replayed at a reload either
  EXPECT_EQ(bridge.CountAfter(1000, "reloading"), 1);
  EXPECT_EQ(FramesWithCode(*studio, kdt::kCmdSetName).size(), 1u);
}

// What a unit reports that a hub would take wrongly: both input bits, and
// control characters in names (escaped, as the log writes them).
TEST_F(MqttFieldTest, WhatAUnitReportsIsPublishedSoThatAHubTakesIt) {
  auto studio = Unit();
  BridgeProcess bridge(UnitSection("studio", studio->Port()) + Mqtt(*broker_));
  ASSERT_TRUE(hub_->WaitFor("kdt212/studio/relay/c/input", "INPUT 1")) << bridge.Log();
  Panel(*studio, "name A --hex 4F 6E 1B 5B 33 31 6D 41 69 72");
  Panel(*studio, "state C 0x43");  // both input bits
  ASSERT_TRUE(hub_->WaitFor("kdt212/studio/relay/a/name", "On\\x1B[31mAir")) << bridge.Log();
  ASSERT_TRUE(hub_->WaitUntil([](const std::vector<Received>& messages) {
    return Json(LatestIn(messages,
                         "homeassistant/select/kdt212/studio_relay_a_input/config"))["name"]
               .toString() == "On\\x1B[31mAir";
  }));
  EXPECT_EQ(hub_->Latest("kdt212/studio/relay/c/input"), "INPUT 1");  // never "INPUT 3"
  const QJsonObject state = Json(hub_->Latest("kdt212/studio/state"));
  EXPECT_TRUE(state["relays"].toArray()[2].toObject()["input"].isNull());
}

// At its start a bridge says nothing of a unit until its first attempt has
// had its outcome: a unit that is there is never shown offline on the way.
// At its end, each unit's state says it is no longer served.
TEST_F(MqttFieldTest, AUnitIsOfflineOnlyWhenItIsAndNoLongerServedWhenTheBridgeEnds) {
  auto studio = Unit();
  const int gone = FreeLoopbackPort();
  BridgeProcess bridge(UnitSection("studio", studio->Port()) + UnitSection("gone", gone) +
                       Mqtt(*broker_));
  ASSERT_TRUE(hub_->WaitFor("kdt212/studio/status", "online")) << bridge.Log();
  ASSERT_TRUE(hub_->WaitFor("kdt212/gone/status", "offline")) << bridge.Log();
  EXPECT_EQ(hub_->Count("kdt212/studio/status"), 1);
  EXPECT_EQ(bridge.End(), 0);
  ASSERT_TRUE(hub_->WaitUntil([](const std::vector<Received>& messages) {
    return !Json(LatestIn(messages, "kdt212/studio/state"))["connected"].toBool(true);
  }));
  EXPECT_EQ(Json(hub_->Latest("kdt212/studio/state"))["reason"].toString(),
            "the bridge that served it has stopped");
  EXPECT_EQ(hub_->Latest("kdt212/studio/status"), "offline");
}

// TLS asked for is TLS or no connection: a CA that cannot be used, or a
// broker that does not speak TLS, never gets the password in plain text.
TEST_F(MqttFieldTest, TlsAskedForIsTlsOrNoConnection) {
  const std::string garbage = broker_->Folder() + "/not-a-ca.crt";
  std::ofstream(garbage) << "not a certificate\n";
  BrokerOptions tls;
  tls.tls = true;
  const Broker another(tls);  // for a CA that is one
  for (const std::string& ca : {garbage, another.CaFile()}) {
    BridgeProcess bridge(Mqtt(*broker_, "CAFILE=" + ca + "\nUSER=hub\n"));
    EXPECT_TRUE(bridge.WaitForLog("mqtt: cannot connect to 127.0.0.1:")) << bridge.Log();
    EXPECT_FALSE(hub_->WaitFor("kdt212/bridge/kdt212-bridge/status", "online", 2000));
    EXPECT_EQ(bridge.Log().find("mqtt: connected"), std::string::npos) << bridge.Log();
  }
}

// A broker that takes the connection and says nothing is named as such,
// within the keep-alive.
TEST(MqttField, ABrokerThatSaysNothingIsNamed) {
  ScriptedPeer silent([](ScriptedPeer::Link& link) { link.HoldOpen(); });
  BridgeProcess bridge("[MQTT]\nHOST=127.0.0.1\nPORT=" + std::to_string(silent.Port()) + "\n");
  const auto start = Clock::now();
  EXPECT_TRUE(
      bridge.WaitForLog("the broker took the connection but did not answer it within 10 s", 25000))
      << bridge.Log();
  EXPECT_LT(ElapsedMs(start), 25000);
  silent.Release();
}

// Two bridges with one CLIENTID: the broker gives each the other's session
// in turn. Said once, and with a back-off that does not start again while
// no connection holds.
TEST_F(MqttFieldTest, OneClientIdForTwoBridgesIsSaidOnceAndBacksOff) {
  BridgeProcess first(Mqtt(*broker_));
  ASSERT_TRUE(first.WaitForLog("mqtt: connected to")) << first.Log();
  BridgeProcess second(Mqtt(*broker_));
  ASSERT_TRUE(first.WaitForLog("mqtt: another bridge (\"" + Hostname() + ", process " +
                               std::to_string(second.Process().Pid()) +
                               "\") with this bridge's CLIENTID kdt212-bridge takes its session"))
      << first.Log();
  const int connected =
      first.CountAfter(12000, "mqtt: connected to") + second.CountAfter(0, "mqtt: connected to");
  EXPECT_LE(connected, 4) << first.Log() << second.Log();
  EXPECT_EQ(first.CountAfter(0, "takes its session"), 1) << first.Log();
  EXPECT_LE(second.CountAfter(0, "takes its session"), 1) << second.Log();
}

// A broker's name that the resolver is slow to look up (a name server that
// never answers) holds up nothing: the units' clients are served at once
// meanwhile. The bridge runs in a mount namespace of its own, where
// /etc/resolv.conf names that server.
TEST(MqttField, ASlowResolverHoldsUpNothing) {
  const int dns = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(53);
  server.sin_addr.s_addr = tcp::DottedToInAddr("127.0.9.53");
  ASSERT_EQ(bind(dns, reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
  char folder[] = "/tmp/kdt-resolver-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string resolv = std::string(folder) + "/resolv.conf";
  std::ofstream(resolv) << "nameserver 127.0.9.53\noptions timeout:3 attempts:1\n";
  auto studio = Unit();
  const int listen = FreeLoopbackPort();
  BridgeProcess bridge(
      UnitSection("studio", studio->Port(), listen) + "[MQTT]\nHOST=broker.kdt212.test\n",
      {"--verbose"},
      {"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
       "mount --bind " + resolv + " /etc/resolv.conf && exec \"$0\" \"$@\""});
  ASSERT_TRUE(bridge.WaitForLog("studio: connected to")) << bridge.Log();
  EndpointClient client(listen);
  kdt::UnitStatus status;
  std::int64_t slowest = 0;
  const auto start = Clock::now();
  while (ElapsedMs(start) < 5000) {
    const auto sent = Clock::now();
    ASSERT_TRUE(client.Poll(status)) << bridge.Log();
    slowest = std::max(slowest, ElapsedMs(sent));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_LT(slowest, 1000) << "the event loop waited for the resolver";
  EXPECT_TRUE(bridge.WaitForLog("mqtt: cannot connect to broker.kdt212.test:1883")) << bridge.Log();
  close(dns);
  std::filesystem::remove_all(folder);
}

// The back-off as the broker sees it: a retry after about 1 s, then 2, then
// 4; neither every second nor at once the longest.
TEST(MqttField, TheBackoffDoublesFromOneSecond) {
  tcp::Socket listener = tcp::kInvalidSocket;
  ASSERT_TRUE(tcp::SockListen(listener, kLoopback, 0, 8));
  std::mutex mutex;
  std::vector<Clock::time_point> attempts;
  std::atomic<bool> done{false};
  std::thread broker([&] {
    while (!done) {
      if (!tcp::SockWaitReadable(listener, 50)) continue;
      tcp::Socket client = tcp::kInvalidSocket;
      if (!tcp::SockAccept(listener, client)) continue;
      {
        std::lock_guard lock(mutex);
        attempts.push_back(Clock::now());
      }
      tcp::SockClose(client);  // no broker at all
    }
  });
  {
    BridgeProcess bridge(
        "[MQTT]\nHOST=127.0.0.1\nPORT=" + std::to_string(tcp::SockLocalPort(listener)) + "\n");
    bridge.CountAfter(8500, "mqtt");
  }
  done = true;
  broker.join();
  tcp::SockClose(listener);
  std::lock_guard lock(mutex);
  ASSERT_GE(attempts.size(), 3u);
  ASSERT_LE(attempts.size(), 4u);
  const auto gap = [&](std::size_t i) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(attempts[i] - attempts[i - 1])
        .count();
  };
  EXPECT_GE(gap(1), 700);
  EXPECT_LE(gap(1), 1600);
  EXPECT_GE(gap(2), 1400);
  EXPECT_LE(gap(2), 3000);
}

}  // namespace
