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
//   T/U/relay/r/protected           OFF, or who holds it: "web alice", "mqtt"
//   T/U/relay/r/protected/set       command: ON / OFF, for the hub's own protect
//   T/salvo/S/take                  command: TAKE, for salvo S
//   T/salvo/S/result                the take's answer, as JSON (not retained)
// Home Assistant's discovery configurations (Discovery.h) stand at
//   DISCOVERY/<component>/<node>/<object>/config
// where <node> is the base topic made fit for an id (TOPIC kdt212: kdt212),
// and <object> is "<unit>_relay_<r>_input" and the like, or
// "bridge_<C>_connectivity", or "bridge_<C>_salvo_<S>".
// Free of Qt.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mqtt/MqttSection.h"

namespace bridge {

enum class RelayLeaf { kInput, kName, kLocked, kProtected };

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

struct CommandOnTopic {
  std::string unit;
  int relay = 0;
  RelayLeaf leaf = RelayLeaf::kInput;  // kInput, kName or kProtected
};
// False for any topic that is not exactly a command topic of a relay.
bool ParseCommandTopic(const MqttConfig& mqtt, std::string_view topic, CommandOnTopic& command);

// What a take topic takes.
constexpr std::string_view kTakePayload = "TAKE";
std::string SalvoTakeTopic(const MqttConfig& mqtt, const std::string& salvo);
std::string SalvoResultTopic(const MqttConfig& mqtt, const std::string& salvo);
// False for any topic that is not exactly a salvo's take topic.
bool ParseSalvoTakeTopic(const MqttConfig& mqtt, std::string_view topic, std::string& salvo);

std::string InputPayload(int input);  // "INPUT 1"
// "INPUT 1", "INPUT 2", "1" or "2"; false for anything else.
bool ParseInputPayload(std::string_view payload, int& input);
std::string LockedPayload(bool locked);                  // "ON" / "OFF"
std::string ProtectedPayload(const std::string& owner);  // "OFF" when nobody holds it
// "ON" or "OFF"; false for anything else.
bool ParseSwitchPayload(std::string_view payload, bool& on);

// The base topic as an id: what is not a letter, digit, '-' or '_' becomes '_'.
std::string NodeId(const MqttConfig& mqtt);
std::string DiscoveryConfigTopic(const MqttConfig& mqtt, std::string_view component,
                                 const std::string& object);
// "<unit>_relay_a_input" and the like.
std::string RelayObject(const std::string& unit, int relay, RelayLeaf leaf);
// "<unit>_relay_a_protected_by": the sensor of who holds the relay.
std::string ProtectOwnerObject(const std::string& unit, int relay);
// "bridge_<C>_salvo_<S>": a salvo's button, on the bridge's device.
std::string SalvoObject(const MqttConfig& mqtt, const std::string& salvo);
// The pattern that matches every configuration a bridge under this TOPIC
// may have left.
std::string DiscoveryPattern(const MqttConfig& mqtt);
// The unit (a well-formed id) whose configuration stands at `topic`; false
// for a bridge's own and for anything else.
bool UnitOfDiscoveryTopic(const MqttConfig& mqtt, std::string_view topic, std::string& unit);
// The salvo whose button of this bridge stands at `topic`; false for
// anything else.
bool SalvoOfDiscoveryTopic(const MqttConfig& mqtt, std::string_view topic, std::string& salvo);
// Where Home Assistant says it has started again.
std::string HubStatusTopic(const MqttConfig& mqtt);
// The bridge's device at the hub, "kdt212_bridge_kdt212-bridge", and what
// every bridge's under this TOPIC begins with, "kdt212_bridge_".
std::string BridgeDeviceId(const MqttConfig& mqtt);
std::string BridgeDevicePrefix(const MqttConfig& mqtt);

}  // namespace bridge
