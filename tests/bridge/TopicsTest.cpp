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

// A unit is read from a discovery topic only when the topic is a relay's
// configuration under this TOPIC, and only a well-formed id: what the
// bridge clears for it stays under its own topics.
TEST(Topics, UnitsOfDiscoveryTopicsAndNothingElse) {
  const bridge::MqttConfig mqtt;  // TOPIC kdt212, DISCOVERY homeassistant
  const std::pair<std::string, std::string> cases[] = {
      {"homeassistant/select/kdt212/studio_relay_a_input/config", "studio"},
      {"homeassistant/text/kdt212/hall-2_relay_c_name/config", "hall-2"},
      {"homeassistant/binary_sensor/kdt212/a_relay_b_locked/config", "a"},
      {"homeassistant/binary_sensor/kdt212/bridge_east_connectivity/config", ""},
      {"homeassistant/select/kdt212/x/y_relay_a_input/config", ""},  // not an id
      {"homeassistant/select/kdt212/+_relay_a_input/config", ""},
      {"homeassistant/select/kdt212/_relay_a_input/config", ""},
      {"homeassistant/select/other/studio_relay_a_input/config", ""},
      {"homeassistant/a/b/kdt212/studio_relay_a_input/config", ""},
      {"homeassistant/select/kdt212/studio_relay_a_input", ""},
      {"homeassistant/config", ""},  // its front and its end overlap
      {"homeassistant//config", ""},
      {"", ""},
  };
  for (const auto& [topic, unit] : cases) {
    std::string found;
    EXPECT_EQ(bridge::UnitOfDiscoveryTopic(mqtt, topic, found), !unit.empty()) << topic;
    EXPECT_EQ(found, unit) << topic;
  }
}

}  // namespace
