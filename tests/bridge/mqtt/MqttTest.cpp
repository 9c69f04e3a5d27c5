// The bridge on MQTT: the real kdt212-bridge between simulated units and the
// real broker (Debian's mosquitto, started by each test on a free loopback
// port), with a client of the test's own in the hub's place.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <fstream>
#include <thread>

#include "BridgeFixture.h"
#include "Broker.h"
#include "CodePage.h"
#include "LoopbackPeer.h"
#include "MqttProbe.h"
#include "PanelCommands.h"

using namespace testsupport;

namespace {

const std::string kTopic = "kdt212/studio/";

QJsonObject Json(const std::string& payload) {
  QJsonParseError error{};
  const QJsonDocument document =
      QJsonDocument::fromJson(QByteArray::fromStdString(payload), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << payload;
  return document.object();
}

std::string MqttSection(const Broker& broker, const std::string& more = "") {
  return "[MQTT]\nHOST=127.0.0.1\nPORT=" + std::to_string(broker.Port()) + "\n" + more;
}

class MqttTest : public UnitFixture {
 protected:
  // A unit, the broker, a hub listening to everything, and the bridge.
  void StartAll(const std::string& more = "") {
    StartUnit();
    broker_ = std::make_unique<Broker>();
    hub_ = std::make_unique<MqttProbe>(broker_->Port());
    ASSERT_TRUE(hub_->Connected());
    hub_->Subscribe("#");
    StartBridge(more);
  }

  void StartBridge(const std::string& more = "") {
    bridge_ = std::make_unique<BridgeProcess>(UnitSection("studio", unit_->Port(), 0, unitKeys_) +
                                              MqttSection(*broker_, more));
    ASSERT_TRUE(hub_->WaitFor(kTopic + "status", "online")) << bridge_->Log();
    ASSERT_TRUE(hub_->WaitForTopic(kTopic + "relay/c/locked")) << bridge_->Log();
  }

  void Panel(const std::string& line) {
    std::string reply;
    ASSERT_TRUE(sim::RunPanelCommand(*unit_, line, reply)) << reply;
  }

  std::string unitKeys_;  // more keys of [UNIT studio]
  std::unique_ptr<Broker> broker_;
  std::unique_ptr<MqttProbe> hub_;
  std::unique_ptr<BridgeProcess> bridge_;
};

TEST_F(MqttTest, EveryTopicRetainedWithTheUnitsState) {
  StartAll();
  // A client that comes later finds every value retained.
  MqttProbe late(broker_->Port());
  ASSERT_TRUE(late.Connected());
  late.Subscribe("kdt212/#");
  ASSERT_TRUE(late.WaitForTopic(kTopic + "relay/a/locked"));
  const std::pair<std::string, std::string> expected[] = {
      {"kdt212/bridge/kdt212-bridge/status", "online"},
      {kTopic + "status", "online"},
      {kTopic + "relay/a/input", "INPUT 1"},
      {kTopic + "relay/a/name", "Monitor"},
      {kTopic + "relay/b/name", "Backup feed"},
      {kTopic + "relay/c/locked", "OFF"},
  };
  for (const auto& [topic, payload] : expected) {
    ASSERT_TRUE(late.WaitFor(topic, payload)) << topic;
  }
  for (const Received& message : late.Messages()) EXPECT_TRUE(message.retained) << message.topic;
  const QJsonObject state = Json(late.Latest(kTopic + "state"));
  EXPECT_TRUE(state["connected"].toBool());
  EXPECT_EQ(state["model"].toInt(), 212);
  const QJsonArray relays = state["relays"].toArray();
  ASSERT_EQ(relays.size(), 3);
  EXPECT_EQ(relays[0].toObject()["relay"].toString(), "A");
  EXPECT_EQ(relays[2].toObject()["name"].toString(), "Main feed");
  EXPECT_EQ(relays[2].toObject()["name_hex"].toString(), "4D61696E2066656564");
}

// The sources' labels are in the state, and a reload that changes them
// publishes it anew.
TEST_F(MqttTest, TheStateCarriesTheSourcesLabels) {
  unitKeys_ = "INPUT1=Camera 1\n";
  StartAll();
  ASSERT_TRUE(hub_->WaitForTopic(kTopic + "state"));
  QJsonArray inputs = Json(hub_->Latest(kTopic + "state"))["inputs"].toArray();
  ASSERT_EQ(inputs.size(), 2);
  EXPECT_EQ(inputs[0].toString(), "Camera 1");
  EXPECT_EQ(inputs[1].toString(), "INPUT 2");
  hub_->Forget();
  bridge_->Rewrite(UnitSection("studio", unit_->Port(), 0, "INPUT2=Studio \xD0\x91\n") +
                   MqttSection(*broker_));
  bridge_->Process().Signal(SIGHUP);
  ASSERT_TRUE(hub_->WaitUntil(
      [](const std::vector<Received>& messages) {
        return std::any_of(messages.begin(), messages.end(),
                           [](const Received& m) { return m.topic == kTopic + "state"; });
      },
      kBridgeWaitMs))
      << bridge_->Log();
  inputs = Json(hub_->Latest(kTopic + "state"))["inputs"].toArray();
  ASSERT_EQ(inputs.size(), 2);
  EXPECT_EQ(inputs[0].toString(), "INPUT 1");
  EXPECT_EQ(inputs[1].toString(), "Studio \xD0\x91");
}

// One device per unit, with a select, a text and a lock sensor for each
// relay; a device of the bridge's own with its connectivity.
TEST_F(MqttTest, DiscoveryFollowsHomeAssistantsFormat) {
  StartAll();
  const std::string prefix = "homeassistant/";
  const std::string select = prefix + "select/kdt212/studio_relay_a_input/config";
  const std::string text = prefix + "text/kdt212/studio_relay_b_name/config";
  const std::string lock = prefix + "binary_sensor/kdt212/studio_relay_c_locked/config";
  const std::string bridge =
      prefix + "binary_sensor/kdt212/bridge_kdt212-bridge_connectivity/config";
  for (const std::string& topic : {select, text, lock, bridge}) {
    ASSERT_TRUE(hub_->WaitForTopic(topic)) << topic;
  }
  EXPECT_EQ(hub_->Count(prefix + "select/kdt212/studio_relay_c_input/config"), 1);

  const QJsonObject input = Json(hub_->Latest(select));
  EXPECT_EQ(input["name"].toString(), "Monitor");  // the relay's name at the unit
  EXPECT_EQ(input["unique_id"].toString(), "kdt212_studio_relay_a_input");
  EXPECT_EQ(input["state_topic"].toString(), "kdt212/studio/relay/a/input");
  EXPECT_EQ(input["command_topic"].toString(), "kdt212/studio/relay/a/input/set");
  EXPECT_EQ(input["options"].toArray(), (QJsonArray{"INPUT 1", "INPUT 2"}));
  EXPECT_EQ(input["availability_mode"].toString(), "all");
  const QJsonArray availability = input["availability"].toArray();
  ASSERT_EQ(availability.size(), 2);
  EXPECT_EQ(availability[0].toObject()["topic"].toString(), "kdt212/bridge/kdt212-bridge/status");
  EXPECT_EQ(availability[1].toObject()["topic"].toString(), "kdt212/studio/status");
  EXPECT_EQ(availability[1].toObject()["payload_available"].toString(), "online");
  const QJsonObject device = input["device"].toObject();
  EXPECT_EQ(device["identifiers"].toArray(), QJsonArray{"kdt212_studio"});
  EXPECT_EQ(device["name"].toString(), "studio");
  EXPECT_EQ(device["model"].toString(), "KDT-212");
  EXPECT_EQ(device["manufacturer"].toString(), "VORNEX");
  EXPECT_EQ(device["sw_version"].toString(), "1.1");
  EXPECT_EQ(device["via_device"].toString(), "kdt212_bridge_kdt212-bridge");

  const QJsonObject name = Json(hub_->Latest(text));
  EXPECT_EQ(name["command_topic"].toString(), "kdt212/studio/relay/b/name/set");
  EXPECT_EQ(name["state_topic"].toString(), "kdt212/studio/relay/b/name");
  EXPECT_EQ(name["max"].toInt(), 25);  // a unit reports up to 25: no state of it is refused
  EXPECT_EQ(name["unique_id"].toString(), "kdt212_studio_relay_b_name");

  const QJsonObject locked = Json(hub_->Latest(lock));
  EXPECT_EQ(locked["state_topic"].toString(), "kdt212/studio/relay/c/locked");
  EXPECT_EQ(locked["payload_on"].toString(), "ON");
  EXPECT_EQ(locked["payload_off"].toString(), "OFF");
  EXPECT_EQ(locked["entity_category"].toString(), "diagnostic");

  const QJsonObject connectivity = Json(hub_->Latest(bridge));
  EXPECT_EQ(connectivity["device_class"].toString(), "connectivity");
  EXPECT_EQ(connectivity["state_topic"].toString(), "kdt212/bridge/kdt212-bridge/status");
  EXPECT_EQ(connectivity["device"].toObject()["identifiers"].toArray(),
            QJsonArray{"kdt212_bridge_kdt212-bridge"});
}

TEST_F(MqttTest, CommandsSwitchTheUnitAndTheStateFollows) {
  StartAll();
  hub_->Publish(kTopic + "relay/a/input/set", "INPUT 2");
  ASSERT_TRUE(hub_->WaitFor(kTopic + "relay/a/input", "INPUT 2")) << bridge_->Log();
  EXPECT_EQ(kdt::InputOf(unit_->Status().state[2]), 2);
  EXPECT_EQ(Json(hub_->Latest(kTopic + "state"))["relays"].toArray()[0].toObject()["input"].toInt(),
            2);
  hub_->Publish(kTopic + "relay/c/input/set", "2");  // the short form
  ASSERT_TRUE(hub_->WaitFor(kTopic + "relay/c/input", "INPUT 2"));
}

// A change at the unit's front panel: one message on each topic it changed,
// none on the others.
TEST_F(MqttTest, AFrontPanelChangeIsOneMessagePerChangedTopic) {
  StartAll();
  hub_->Forget();
  Panel("input C 2");
  Panel("lock B on");
  ASSERT_TRUE(hub_->WaitFor(kTopic + "relay/c/input", "INPUT 2"));
  ASSERT_TRUE(hub_->WaitFor(kTopic + "relay/b/locked", "ON"));
  Panel("name A Foyer");  // a last change, to know that all before has come
  ASSERT_TRUE(hub_->WaitFor(kTopic + "relay/a/name", "Foyer"));
  EXPECT_EQ(hub_->Count(kTopic + "relay/c/input"), 1);
  EXPECT_EQ(hub_->Count(kTopic + "relay/b/locked"), 1);
  EXPECT_EQ(hub_->Count(kTopic + "relay/a/input"), 0);
  EXPECT_EQ(hub_->Count(kTopic + "relay/b/name"), 0);
  EXPECT_EQ(hub_->Count(kTopic + "status"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nothing while nothing changes
  EXPECT_EQ(hub_->Count(kTopic + "relay/a/name"), 1);
}

// A name from the hub in Cyrillic goes to the unit in its code page, comes
// back in UTF-8, and renames the relay's select; one the code page cannot
// carry is refused and the name topic told again as it stands.
TEST_F(MqttTest, NamesFromTheHubInTheUnitsCodePage) {
  StartAll();
  const std::string select = "homeassistant/select/kdt212/studio_relay_b_input/config";
  ASSERT_TRUE(hub_->WaitForTopic(select));
  const std::string uniqueId = Json(hub_->Latest(select))["unique_id"].toString().toStdString();
  hub_->Publish(kTopic + "relay/b/name/set", "  Студия №2 ");
  ASSERT_TRUE(hub_->WaitFor(kTopic + "relay/b/name", "Студия №2")) << bridge_->Log();
  EXPECT_EQ(unit_->Status().name[1],
            "\xD1\xF2\xF3\xE4\xE8\xFF \xB9"
            "2");
  ASSERT_TRUE(hub_->WaitUntil([&](const std::vector<Received>& messages) {
    return Json(LatestIn(messages, select))["name"].toString() == QString::fromUtf8("Студия №2");
  }));
  EXPECT_EQ(Json(hub_->Latest(select))["unique_id"].toString().toStdString(), uniqueId);

  const int before = hub_->Count(kTopic + "relay/b/name");
  for (const std::string& name : {std::string("中文"), std::string(25, 'x')}) {
    hub_->Publish(kTopic + "relay/b/name/set", name);
  }
  ASSERT_TRUE(hub_->WaitUntil([&](const std::vector<Received>& messages) {
    return CountIn(messages, kTopic + "relay/b/name") == before + 2;
  }));
  EXPECT_EQ(hub_->Latest(kTopic + "relay/b/name"), "Студия №2");
  EXPECT_TRUE(bridge_->WaitForLog("has no \"中\" (U+4E2D)")) << bridge_->Log();
  EXPECT_TRUE(bridge_->WaitForLog("25 characters, the unit takes 24"));
  EXPECT_EQ(FramesWithCode(*unit_, kdt::kCmdSetName).size(), 1u);
}

// Whatever comes on whatever topic: nothing reaches the unit that should
// not, and the bridge goes on.
TEST_F(MqttTest, BadAndHugePayloadsReachNothing) {
  StartAll();
  const std::string huge(1 << 20, '\xFF');
  const std::pair<std::string, std::string> commands[] = {
      {kTopic + "relay/a/input/set", "INPUT 3"},
      {kTopic + "relay/a/input/set", ""},
      {kTopic + "relay/a/input/set", "input 1"},
      {kTopic + "relay/a/input/set", huge},
      {kTopic + "relay/a/input/set", std::string("1\0", 2)},
      {kTopic + "relay/b/name/set", huge},
      {kTopic + "relay/b/name/set", "a\x1B[2Jb"},
      {kTopic + "relay/d/input/set", "INPUT 2"},
      {kTopic + "relay/A/input/set", "INPUT 2"},
      {"kdt212/nosuch/relay/a/input/set", "INPUT 2"},
      {kTopic + "relay/a/input/set/more", "INPUT 2"},
      {kTopic + "relay/a/locked/set", "ON"},
  };
  for (const auto& [topic, payload] : commands) hub_->Publish(topic, payload);
  Panel("input C 2");  // the bridge still goes
  ASSERT_TRUE(hub_->WaitFor(kTopic + "relay/c/input", "INPUT 2")) << bridge_->Log();
  EXPECT_TRUE(bridge_->WaitForLog("\"INPUT 3\" dropped: not INPUT 1, INPUT 2, 1 or 2"));
  EXPECT_TRUE(bridge_->WaitForLog("(1048576 bytes)"));
  EXPECT_TRUE(bridge_->WaitForLog("control characters are not taken"));
  EXPECT_TRUE(FramesWithCode(*unit_, kdt::kCmdSetInput).empty());
  EXPECT_TRUE(FramesWithCode(*unit_, kdt::kCmdSetName).empty());
}

// A command kept retained at the broker reaches the bridge again at every
// connection: it is ignored, and the relay stays where it is.
TEST_F(MqttTest, ARetainedCommandIsNotReplayed) {
  StartAll();
  ASSERT_EQ(bridge_->End(), 0);
  hub_->Publish(kTopic + "relay/a/input/set", "INPUT 2", true);
  ASSERT_TRUE(hub_->WaitFor(kTopic + "relay/a/input/set", "INPUT 2"));  // the broker holds it
  hub_->Forget();
  StartBridge();
  EXPECT_TRUE(bridge_->WaitForLog("ignored: a retained command")) << bridge_->Log();
  EXPECT_EQ(kdt::InputOf(unit_->Status().state[2]), 1);
  EXPECT_TRUE(FramesWithCode(*unit_, kdt::kCmdSetInput).empty());
}

// A command for a locked relay, or while the unit is away, is dropped, never
// kept for later.
TEST_F(MqttTest, CommandsThatCannotBeCarriedOutAtOnceAreDropped) {
  StartAll();
  Panel("lock A on");
  ASSERT_TRUE(hub_->WaitFor(kTopic + "relay/a/locked", "ON"));
  hub_->Publish(kTopic + "relay/a/input/set", "INPUT 2");
  EXPECT_TRUE(bridge_->WaitForLog("INPUT 2 dropped: the relay is locked at the unit"));

  const std::uint16_t port = unit_->Port();
  unit_.reset();
  ASSERT_TRUE(hub_->WaitFor(kTopic + "status", "offline"));
  hub_->Publish(kTopic + "relay/b/input/set", "INPUT 2");
  EXPECT_TRUE(bridge_->WaitForLog("dropped: the unit is not connected"));
  sim::SimOptions options;
  options.port = port;
  std::string error;
  unit_ = StartRecordingUnit(options, error);
  ASSERT_TRUE(unit_) << error;
  hub_->Forget();
  ASSERT_TRUE(hub_->WaitFor(kTopic + "status", "online"));
  Panel("name C Back");  // what came after the unit's return has all been handled
  ASSERT_TRUE(hub_->WaitFor(kTopic + "relay/c/name", "Back"));
  EXPECT_TRUE(FramesWithCode(*unit_, kdt::kCmdSetInput).empty());
}

// A unit that goes is offline as soon as its session ends (a silent unit
// within the session's 3 s), its state saying why; back, it is online with
// its state.
TEST_F(MqttTest, AUnitThatGoesIsOfflineAndOnlineWhenBack) {
  StartAll();
  const std::uint16_t port = unit_->Port();
  unit_->SetFault(sim::Fault::kSilent, 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(hub_->WaitFor(kTopic + "status", "offline"));
  EXPECT_LT(ElapsedMs(start), 6000);
  ASSERT_TRUE(hub_->WaitUntil([](const std::vector<Received>& messages) {
    return !Json(LatestIn(messages, kTopic + "state"))["connected"].toBool();
  }));
  EXPECT_EQ(Json(hub_->Latest(kTopic + "state"))["reason"].toString(), "no answer within 3 s");
  unit_.reset();
  sim::SimOptions options;
  options.port = port;
  std::string error;
  unit_ = StartRecordingUnit(options, error);
  ASSERT_TRUE(unit_) << error;
  Panel("input A 2");
  ASSERT_TRUE(hub_->WaitFor(kTopic + "status", "online"));
  ASSERT_TRUE(hub_->WaitFor(kTopic + "relay/a/input", "INPUT 2"));
  EXPECT_TRUE(Json(hub_->Latest(kTopic + "state"))["connected"].toBool());
}

// The broker stopped and started (with nothing kept): the bridge comes back
// with its back-off and publishes every topic's current value again.
TEST_F(MqttTest, TheBrokerStoppedAndStartedGetsEverythingAgain) {
  StartAll();
  broker_->Stop();
  Panel("input A 2");  // while the broker is away
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(broker_->Start());
  MqttProbe hub(broker_->Port());
  ASSERT_TRUE(hub.Connected());
  hub.Subscribe("#");
  ASSERT_TRUE(hub.WaitFor("kdt212/bridge/kdt212-bridge/status", "online", 40000)) << bridge_->Log();
  for (const auto& [topic, payload] :
       std::vector<std::pair<std::string, std::string>>{{kTopic + "status", "online"},
                                                        {kTopic + "relay/a/input", "INPUT 2"},
                                                        {kTopic + "relay/c/name", "Main feed"}}) {
    EXPECT_TRUE(hub.WaitFor(topic, payload)) << topic;
  }
  EXPECT_TRUE(hub.WaitForTopic("homeassistant/select/kdt212/studio_relay_a_input/config"));
  EXPECT_TRUE(bridge_->WaitForLog("mqtt: lost 127.0.0.1:")) << bridge_->Log();
}

// Home Assistant, started again, says so: the discovery comes again after a
// short random delay.
TEST_F(MqttTest, TheHubsOnlineBringsTheDiscoveryAgain) {
  StartAll();
  const std::string select = "homeassistant/select/kdt212/studio_relay_a_input/config";
  ASSERT_TRUE(hub_->WaitForTopic(select));
  hub_->Forget();
  hub_->Publish("homeassistant/status", "online");
  ASSERT_TRUE(hub_->WaitForTopic(select, 10000));
  EXPECT_TRUE(hub_->WaitForTopic(
      "homeassistant/binary_sensor/kdt212/bridge_kdt212-bridge_connectivity/config"));
}

TEST_F(MqttTest, KilledTheBridgeIsOfflineByItsLastWill) {
  StartAll();
  hub_->Forget();
  bridge_->Process().Signal(SIGKILL);
  EXPECT_TRUE(hub_->WaitFor("kdt212/bridge/kdt212-bridge/status", "offline"));
}

TEST_F(MqttTest, EndedTheBridgeSaysOfflineForItselfAndItsUnits) {
  StartAll();
  hub_->Forget();
  EXPECT_EQ(bridge_->End(SIGTERM), 0);
  EXPECT_TRUE(hub_->WaitFor("kdt212/bridge/kdt212-bridge/status", "offline"));
  EXPECT_TRUE(hub_->WaitFor(kTopic + "status", "offline"));
  EXPECT_EQ(unit_->Frames().back().bytes, kdt::GoodbyeFrame());
}

// A unit taken out of the file is cleared from the hub: empty retained
// messages on its discovery and its topics, at once on SIGHUP, and at the
// next start when it went while the bridge was not running.
TEST_F(MqttTest, AUnitTakenOutIsClearedFromTheHub) {
  StartAll();
  const std::string select = "homeassistant/select/kdt212/studio_relay_a_input/config";
  ASSERT_TRUE(hub_->WaitForTopic(select));
  hub_->Forget();
  bridge_->Rewrite(MqttSection(*broker_));
  bridge_->Process().Signal(SIGHUP);
  ASSERT_TRUE(hub_->WaitFor(select, "")) << bridge_->Log();
  EXPECT_TRUE(hub_->WaitFor(kTopic + "relay/a/input", ""));
  EXPECT_TRUE(hub_->WaitFor(kTopic + "status", ""));
  EXPECT_EQ(bridge_->End(), 0);

  StartBridge();  // the unit is back, then leaves while the bridge is down
  ASSERT_TRUE(hub_->WaitUntil(
      [&](const std::vector<Received>& messages) { return !LatestIn(messages, select).empty(); }));
  bridge_.reset();
  hub_->Forget();
  bridge_ = std::make_unique<BridgeProcess>(MqttSection(*broker_));
  EXPECT_TRUE(hub_->WaitFor(select, "")) << bridge_->Log();
  EXPECT_TRUE(bridge_->WaitForLog("studio is no longer in the configuration"));
}

TEST(MqttSecurity, TlsWithTheBrokersCertificateCheckedAgainstTheCa) {
  BrokerOptions tls;
  tls.tls = true;
  Broker broker(tls);
  MqttProbe hub(broker.Port(), broker.CaFile());
  ASSERT_TRUE(hub.Connected());
  hub.Subscribe("kdt212/bridge/kdt212-bridge/status");
  BridgeProcess trusted(MqttSection(broker, "CAFILE=" + broker.CaFile() + "\n"));
  EXPECT_TRUE(hub.WaitFor("kdt212/bridge/kdt212-bridge/status", "online")) << trusted.Log();
  EXPECT_EQ(trusted.End(), 0);
  hub.Forget();
  BridgeProcess untrusted(MqttSection(broker, "CAFILE=" + broker.OtherCaFile() + "\n"));
  EXPECT_TRUE(untrusted.WaitForLog("mqtt: cannot connect to 127.0.0.1:")) << untrusted.Log();
  EXPECT_FALSE(hub.WaitFor("kdt212/bridge/kdt212-bridge/status", "online", 1000));
}

// The password comes from its file and is never logged; a wrong one is
// refused by the broker, and said so.
TEST(MqttSecurity, PasswordFromItsFile) {
  BrokerOptions login;
  login.user = "bridge";
  login.password = "s3cret-Pa55";
  Broker broker(login);
  const std::string file = broker.Folder() + "/password";
  for (const auto& [password, connects] :
       std::vector<std::pair<std::string, bool>>{{"s3cret-Pa55", true}, {"wrong-Pa55", false}}) {
    std::ofstream(file) << password << "\n";
    chmod(file.c_str(), 0600);
    BridgeProcess bridge(MqttSection(broker, "USER=bridge\nPASSWORD_FILE=" + file + "\n"));
    if (connects) {
      EXPECT_TRUE(bridge.WaitForLog("mqtt: connected to")) << bridge.Log();
    } else {
      EXPECT_TRUE(bridge.WaitForLog("refused by the broker: not authorized")) << bridge.Log();
    }
    EXPECT_EQ(bridge.Log().find("Pa55"), std::string::npos) << bridge.Log();
    EXPECT_EQ(bridge.Log().find("warning"), std::string::npos) << bridge.Log();
  }
  // Readable by everybody, or standing in the configuration: a warning.
  chmod(file.c_str(), 0644);
  BridgeProcess shared(MqttSection(broker, "USER=bridge\nPASSWORD_FILE=" + file + "\n"));
  EXPECT_TRUE(shared.WaitForLog("may be read by every user of this machine")) << shared.Log();
  // Standing in the configuration, which many may read: refused.
  BridgeProcess inFile(MqttSection(broker, "USER=bridge\nPASSWORD=s3cret-Pa55\n"));
  EXPECT_EQ(inFile.End(0), 2);
  EXPECT_NE(inFile.Log().find(":5: PASSWORD: the broker's password is not taken in this file"),
            std::string::npos)
      << inFile.Log();
  EXPECT_EQ(inFile.Log().find("Pa55"), std::string::npos) << inFile.Log();
}

}  // namespace
