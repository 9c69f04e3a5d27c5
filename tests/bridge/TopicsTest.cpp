// The bridge's MQTT topics, and what it reads as a command.
#include "Topics.h"

#include <gtest/gtest.h>

namespace {

TEST(Topics, CommandTopicsAndNothingElse) {
  bridge::MqttConfig mqtt;
  mqtt.topic = "site/kdt212";
  struct Case {
    std::string topic;
    bool command;
    std::string unit;
    int relay;
    bridge::RelayLeaf leaf;
  };
  const Case cases[] = {
      {"site/kdt212/studio/relay/a/input/set", true, "studio", 3, bridge::RelayLeaf::kInput},
      {"site/kdt212/hall-2/relay/c/name/set", true, "hall-2", 1, bridge::RelayLeaf::kName},
      {"site/kdt212/studio/relay/a/locked/set", false, "", 0, {}},
      {"site/kdt212/studio/relay/d/input/set", false, "", 0, {}},
      {"site/kdt212/studio/relay/A/input/set", false, "", 0, {}},
      {"site/kdt212/studio/relay/ab/input/set", false, "", 0, {}},
      {"site/kdt212/studio/relay/a/input", false, "", 0, {}},
      {"site/kdt212/studio/relay/a/input/set/more", false, "", 0, {}},
      {"site/kdt212//relay/a/input/set", false, "", 0, {}},
      {"site/kdt2120/studio/relay/a/input/set", false, "", 0, {}},
      {"kdt212/studio/relay/a/input/set", false, "", 0, {}},
      {"", false, "", 0, {}},
  };
  for (const Case& c : cases) {
    bridge::Command command;
    EXPECT_EQ(bridge::ParseCommandTopic(mqtt, c.topic, command), c.command) << c.topic;
    if (!c.command) continue;
    EXPECT_EQ(command.unit, c.unit);
    EXPECT_EQ(command.relay, c.relay);
    EXPECT_EQ(command.leaf, c.leaf);
    EXPECT_EQ(bridge::CommandTopic(mqtt, c.unit, c.relay, c.leaf), c.topic);  // and back
  }
}

TEST(Topics, InputPayloads) {
  int input = 0;
  for (const auto& [payload, expected] : std::vector<std::pair<std::string, int>>{
           {"INPUT 1", 1}, {"INPUT 2", 2}, {"1", 1}, {"2", 2}}) {
    EXPECT_TRUE(bridge::ParseInputPayload(payload, input)) << payload;
    EXPECT_EQ(input, expected);
  }
  for (const char* payload : {"INPUT 3", "input 1", "INPUT 1 ", "", "01", "INPUT1"}) {
    EXPECT_FALSE(bridge::ParseInputPayload(payload, input)) << payload;
  }
}

}  // namespace
