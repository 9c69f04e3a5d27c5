// The bridge's MQTT topics, and what it reads as a command.
#include "mqtt/Topics.h"

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
      {"site/kdt212/lobby/relay/b/protected/set", true, "lobby", 2, bridge::RelayLeaf::kProtected},
      {"site/kdt212/studio/relay/a/locked/set", false, "", 0, {}},
      {"site/kdt212/salvo/evening/take", false, "", 0, {}},
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
    bridge::CommandOnTopic command;
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
      {"homeassistant/switch/kdt212/a_relay_b_protected/config", "a"},
      {"homeassistant/sensor/kdt212/lobby_relay_c_protected_by/config", "lobby"},
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

// A salvo's take topic, and its button: only this TOPIC's, this CLIENTID's,
// and a well-formed id.
TEST(Topics, SalvosTakeAndButtonTopics) {
  bridge::MqttConfig mqtt;  // TOPIC kdt212, CLIENTID kdt212-bridge
  const std::pair<std::string, std::string> takes[] = {
      {"kdt212/salvo/evening/take", "evening"},
      {"kdt212/salvo/night-2/take", "night-2"},
      {"kdt212/salvo/evening/result", ""},
      {"kdt212/salvo//take", ""},
      {"kdt212/salvo/a/b/take", ""},
      {"kdt212/salvo/+/take", ""},
      {"kdt212/studio/evening/take", ""},
      {"other/salvo/evening/take", ""},
      {"kdt212/salvo/take", ""},
  };
  for (const auto& [topic, salvo] : takes) {
    std::string found;
    EXPECT_EQ(bridge::ParseSalvoTakeTopic(mqtt, topic, found), !salvo.empty()) << topic;
    EXPECT_EQ(found, salvo) << topic;
    if (!salvo.empty()) {
      EXPECT_EQ(bridge::SalvoTakeTopic(mqtt, salvo), topic);
    }
  }
  const std::pair<std::string, std::string> buttons[] = {
      {"homeassistant/button/kdt212/bridge_kdt212-bridge_salvo_evening/config", "evening"},
      {"homeassistant/button/kdt212/bridge_west_salvo_evening/config", ""},  // another bridge's
      {"homeassistant/button/kdt212/bridge_kdt212-bridge_salvo_/config", ""},
      {"homeassistant/button/kdt212/bridge_kdt212-bridge_salvo_a+b/config", ""},
      {"homeassistant/binary_sensor/kdt212/bridge_kdt212-bridge_connectivity/config", ""},
  };
  for (const auto& [topic, salvo] : buttons) {
    std::string found;
    EXPECT_EQ(bridge::SalvoOfDiscoveryTopic(mqtt, topic, found), !salvo.empty()) << topic;
    if (!salvo.empty()) {
      EXPECT_EQ(found, salvo) << topic;
    }
  }
}

TEST(Topics, SwitchPayloads) {
  bool on = false;
  EXPECT_TRUE(bridge::ParseSwitchPayload("ON", on) && on);
  EXPECT_TRUE(bridge::ParseSwitchPayload("OFF", on) && !on);
  for (const char* payload : {"on", "1", "TRUE", "ON ", ""}) {
    EXPECT_FALSE(bridge::ParseSwitchPayload(payload, on)) << payload;
  }
  EXPECT_EQ(bridge::ProtectedPayload(""), "OFF");
  EXPECT_EQ(bridge::ProtectedPayload("web alice"), "web alice");
}

}  // namespace
