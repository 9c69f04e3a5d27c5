// The one door of the bridge's commands, as every face meets it: the page's
// interface, MQTT and a client of the unit's endpoint each get the same
// answer for the same command. A lock at the unit keeps a relay's input and
// lets its rename through, as the console's buttons do.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include "BridgeFixture.h"
#include "Broker.h"
#include "HttpPeer.h"
#include "LoopbackPeer.h"
#include "MqttProbe.h"

using namespace testsupport;

namespace {

const std::vector<std::string> kJson = {"Content-Type: application/json"};

// A locked relay, through each door: its input stays (nothing goes to the
// unit), and a new name reaches it.
TEST(Door, ALockedRelayKeepsItsInputAndTakesANameThroughEveryDoor) {
  std::string error;
  sim::SimOptions options;
  options.port = 0;
  auto unit = StartRecordingUnit(options, error);
  ASSERT_TRUE(unit) << error;
  std::string reply;
  ASSERT_TRUE(sim::RunPanelCommand(*unit, "lock A on", reply)) << reply;
  Broker broker;
  MqttProbe hub(broker.Port());
  ASSERT_TRUE(hub.Connected());
  hub.Subscribe("kdt212/studio/#");
  const int listen = FreeLoopbackPort(), page = FreeLoopbackPort();
  BridgeProcess bridge(UnitSection("studio", unit->Port(), listen) +
                       "[MQTT]\nPORT=" + std::to_string(broker.Port()) +
                       "\nDISCOVERY=\n[HTTP]\nLISTEN=127.0.0.1:" + std::to_string(page) + "\n");
  ASSERT_TRUE(hub.WaitFor("kdt212/studio/relay/a/locked", "ON")) << bridge.Log();
  EndpointClient client(listen);
  kdt::UnitStatus status;
  ASSERT_TRUE(client.Poll(status));
  const auto post = [page](const std::string& what, const std::string& body) {
    HttpPeer peer(page);
    return peer.Exchange(
        HttpRequestText("POST", "/api/units/studio/relays/a/" + what, kJson, body));
  };

  // The input, through each door: refused, and nothing reaches the unit.
  const HttpAnswer switched = post("input", "{\"input\":2}");
  EXPECT_EQ(switched.status, 409);
  EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(switched.body))
                .object()["error"]
                .toString(),
            "RELAY A is locked at the unit");
  hub.Publish("kdt212/studio/relay/a/input/set", "INPUT 2");
  EXPECT_TRUE(bridge.WaitForLog("INPUT 2 dropped: the relay is locked at the unit"));
  ASSERT_TRUE(client.Exchange(kdt::SetInputFrame(2, 3), status));
  EXPECT_TRUE(kdt::IsLocked(status.state[2]));  // answered with the status, as the unit would
  EXPECT_EQ(kdt::InputOf(status.state[2]), 1);
  EXPECT_TRUE(
      bridge.WaitForLog("RELAY A is locked at the unit: its command answered with the "
                        "status, not sent"));

  // The name, through each door: it reaches the unit.
  const HttpAnswer renamed = post("name", "{\"name\":\"Door 1\"}");
  EXPECT_EQ(renamed.status, 200) << renamed.body;
  hub.Publish("kdt212/studio/relay/a/name/set", "Door 2");
  ASSERT_TRUE(hub.WaitFor("kdt212/studio/relay/a/name", "Door 2")) << bridge.Log();
  ASSERT_TRUE(client.Exchange(kdt::SetNameFrame(3, "Door 3"), status));
  EXPECT_EQ(status.name[2], "Door 3");
  EXPECT_EQ(unit->Status().name[2], "Door 3");
  EXPECT_EQ(FramesWithCode(*unit, kdt::kCmdSetName).size(), 3u);
  EXPECT_TRUE(FramesWithCode(*unit, kdt::kCmdSetInput).empty());
  EXPECT_TRUE(
      bridge.WaitForLog("studio: RELAY A: name \"Door 2\" -> \"Door 3\", by client 127.0.0.1:"));
}

}  // namespace
