// Where the bridge publishes on MQTT, for base topic T (TOPIC), the bridge's
// CLIENTID C, unit U and relay letter r in a, b, c (RELAY A, B, C); several
// bridges may share T, each with its own C and its own units:
//   T/bridge/C/status               online / offline (the last will)
//   T/bridge/C/instance             which bridge holds C's session: "host, process N"
//   T/U/status                      online / offline
//   T/U/state                       the unit as one JSON object
//   T/U/relay/r/input               INPUT 1 / INPUT 2
//   T/U/relay/r/input/set           command: INPUT 1 / INPUT 2 (1 / 2 too)
//   T/U/relay/r/name                the name in UTF-8
//   T/U/relay/r/name/set            command: a name in UTF-8
//   T/U/relay/r/locked              ON / OFF
// Free of Qt.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "BridgeConfig.h"

namespace bridge {

enum class RelayLeaf { kInput, kName, kLocked };

std::string BridgeStatusTopic(const MqttConfig& mqtt);
std::string BridgeInstanceTopic(const MqttConfig& mqtt);
std::string UnitStatusTopic(const MqttConfig& mqtt, const std::string& unit);
std::string UnitStateTopic(const MqttConfig& mqtt, const std::string& unit);
std::string RelayTopic(const MqttConfig& mqtt, const std::string& unit, int relay, RelayLeaf leaf);
std::string CommandTopic(const MqttConfig& mqtt, const std::string& unit, int relay,
                         RelayLeaf leaf);
// Every topic the bridge keeps retained for a unit.
std::vector<std::string> UnitTopics(const MqttConfig& mqtt, const std::string& unit);
// The patterns of the command topics, for subscribing.
std::vector<std::string> CommandPatterns(const MqttConfig& mqtt);

struct Command {
  std::string unit;
  int relay = 0;
  RelayLeaf leaf = RelayLeaf::kInput;  // kInput or kName
};
// False for any topic that is not exactly a command topic of the bridge.
bool ParseCommandTopic(const MqttConfig& mqtt, std::string_view topic, Command& command);

std::string InputPayload(int input);  // "INPUT 1"
// "INPUT 1", "INPUT 2", "1" or "2"; false for anything else.
bool ParseInputPayload(std::string_view payload, int& input);
std::string LockedPayload(bool locked);  // "ON" / "OFF"

}  // namespace bridge
