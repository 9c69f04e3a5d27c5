// The one door of the bridge's commands, as every face meets it: the page's
// interface, MQTT and a client of the unit's endpoint each get the same
// answer for the same command, and the record names each by its cause. A
// lock at the unit keeps a relay's input and lets its rename through, as
// the console's buttons do.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include "EveryFaceFixture.h"

using namespace testsupport;

namespace {

// A locked relay, through each door: its input stays (nothing goes to the
// unit), and a new name reaches it.
TEST_F(EveryFaceTest, ALockedRelayKeepsItsInputAndTakesANameThroughEveryDoor) {
  StartEveryFace("lock A on");
  ASSERT_TRUE(hub_->WaitFor("kdt212/studio/relay/a/locked", "ON")) << bridge_->Log();
  EndpointClient client(listen_);
  kdt::UnitStatus status;
  ASSERT_TRUE(client.Poll(status));

  // The input, through each door: refused, and nothing reaches the unit.
  const HttpAnswer switched = Page("POST", "/api/units/studio/relays/a/input", "{\"input\":2}");
  EXPECT_EQ(switched.status, 409);
  EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(switched.body))
                .object()["error"]
                .toString(),
            "RELAY A is locked at the unit");
  hub_->Publish("kdt212/studio/relay/a/input/set", "INPUT 2");
  EXPECT_TRUE(bridge_->WaitForLog("INPUT 2 dropped: the relay is locked at the unit"));
  ASSERT_TRUE(client.Exchange(kdt::SetInputFrame(2, 3), status));
  EXPECT_TRUE(kdt::IsLocked(status.state[2]));  // answered with the status, as the unit would
  EXPECT_EQ(kdt::InputOf(status.state[2]), 1);
  EXPECT_TRUE(bridge_->WaitForLog(
      "RELAY A is locked at the unit: its command answered with the status, not sent"));

  // The name, through each door: it reaches the unit.
  const HttpAnswer renamed =
      Page("POST", "/api/units/studio/relays/a/name", "{\"name\":\"Door 1\"}");
  EXPECT_EQ(renamed.status, 200) << renamed.body;
  hub_->Publish("kdt212/studio/relay/a/name/set", "Door 2");
  ASSERT_TRUE(hub_->WaitFor("kdt212/studio/relay/a/name", "Door 2")) << bridge_->Log();
  ASSERT_TRUE(client.Exchange(kdt::SetNameFrame(3, "Door 3"), status));
  EXPECT_EQ(status.name[2], "Door 3");
  EXPECT_EQ(unit_->Status().name[2], "Door 3");
  EXPECT_EQ(FramesWithCode(*unit_, kdt::kCmdSetName).size(), 3u);
  EXPECT_TRUE(FramesWithCode(*unit_, kdt::kCmdSetInput).empty());
  EXPECT_TRUE(
      bridge_->WaitForLog("studio: RELAY A: name \"Door 2\" -> \"Door 3\", by client 127.0.0.1:"));
}

// Each cause by its name: a command from the page, from MQTT, from a client
// of the unit's endpoint, and a change at the front panel.
TEST_F(EveryFaceTest, EveryCauseHasItsName) {
  StartEveryFace();
  ASSERT_EQ(Page("POST", "/api/units/studio/relays/a/input", "{\"input\":2}").status, 200);
  hub_->Publish("kdt212/studio/relay/b/input/set", "INPUT 2");
  ASSERT_TRUE(bridge_->WaitForLog("studio: RELAY B: input INPUT 1 -> INPUT 2, by mqtt"))
      << bridge_->Log();
  EndpointClient client(listen_);
  kdt::UnitStatus status;
  ASSERT_TRUE(client.Exchange(kdt::SetNameFrame(1, "Console"), status));
  std::string reply;
  ASSERT_TRUE(sim::RunPanelCommand(*unit_, "lock C on", reply)) << reply;
  EXPECT_TRUE(bridge_->WaitForLog("studio: RELAY C: lock unlocked -> locked, by unit"));
  EXPECT_TRUE(bridge_->WaitForLog("studio: RELAY A: input INPUT 1 -> INPUT 2, by web\n"));
  const std::string log = Page("GET", "/api/log").body;
  for (const std::string& by : {std::string("web"), std::string("mqtt"), std::string("unit")}) {
    EXPECT_NE(log.find("\"by\":\"" + by + "\""), std::string::npos) << by << log;
  }
  EXPECT_TRUE(QString::fromStdString(log).contains(
      QRegularExpression("\"change\":\"name\",\"from\":\"Main feed\",\"to\":\"Console\","
                         "\"by\":\"client 127\\.0\\.0\\.1:\\d+\"")))
      << log;
}

}  // namespace
