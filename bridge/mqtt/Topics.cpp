#include "mqtt/Topics.h"

#include <algorithm>

#include "Relays.h"

namespace bridge {
namespace {

constexpr std::string_view kRelayLevel = "relay";
constexpr std::string_view kSetLevel = "/set";
constexpr std::string_view kTakeLevel = "/take";
constexpr RelayLeaf kAllLeaves[] = {RelayLeaf::kInput, RelayLeaf::kName, RelayLeaf::kLocked,
                                    RelayLeaf::kProtected};
constexpr RelayLeaf kCommandLeaves[] = {RelayLeaf::kInput, RelayLeaf::kName, RelayLeaf::kProtected};

std::string_view LeafName(RelayLeaf leaf) {
  switch (leaf) {
    case RelayLeaf::kInput:
      return "input";
    case RelayLeaf::kName:
      return "name";
    case RelayLeaf::kLocked:
      return "locked";
    case RelayLeaf::kProtected:
      return "protected";
  }
  return "";
}

// Takes "LEVEL/" off the front of `topic`.
bool TakeLevel(std::string_view& topic, std::string_view level) {
  if (!topic.starts_with(level) || topic.size() <= level.size() || topic[level.size()] != '/') {
    return false;
  }
  topic.remove_prefix(level.size() + 1);
  return true;
}

}  // namespace

std::string BridgeStatusTopic(const MqttConfig& mqtt) {
  return mqtt.topic + "/" + std::string(kBridgeId) + "/" + mqtt.clientId + "/status";
}

std::string BridgeInstanceTopic(const MqttConfig& mqtt) {
  return mqtt.topic + "/" + std::string(kBridgeId) + "/" + mqtt.clientId + "/instance";
}

std::string UnitStatusTopic(const MqttConfig& mqtt, const std::string& unit) {
  return mqtt.topic + "/" + unit + "/status";
}

std::string UnitStateTopic(const MqttConfig& mqtt, const std::string& unit) {
  return mqtt.topic + "/" + unit + "/state";
}

std::string RelayTopic(const MqttConfig& mqtt, const std::string& unit, int relay, RelayLeaf leaf) {
  return mqtt.topic + "/" + unit + "/" + std::string(kRelayLevel) + "/" +
         kdt::RelayLowerLetter(relay) + "/" + std::string(LeafName(leaf));
}

std::string CommandTopic(const MqttConfig& mqtt, const std::string& unit, int relay,
                         RelayLeaf leaf) {
  return RelayTopic(mqtt, unit, relay, leaf) + std::string(kSetLevel);
}

std::vector<std::string> UnitTopics(const MqttConfig& mqtt, const std::string& unit) {
  std::vector<std::string> topics = {UnitStatusTopic(mqtt, unit), UnitStateTopic(mqtt, unit)};
  for (int relay : kdt::kRelaysLeftToRight) {
    for (RelayLeaf leaf : kAllLeaves) topics.push_back(RelayTopic(mqtt, unit, relay, leaf));
  }
  return topics;
}

std::vector<std::string> CommandPatterns(const MqttConfig& mqtt) {
  std::vector<std::string> patterns;
  for (RelayLeaf leaf : kCommandLeaves) {
    patterns.push_back(mqtt.topic + "/+/" + std::string(kRelayLevel) + "/+/" +
                       std::string(LeafName(leaf)) + std::string(kSetLevel));
  }
  patterns.push_back(mqtt.topic + "/" + std::string(kSalvoId) + "/+" + std::string(kTakeLevel));
  return patterns;
}

bool ParseCommandTopic(const MqttConfig& mqtt, std::string_view topic, CommandOnTopic& command) {
  if (!TakeLevel(topic, mqtt.topic)) return false;
  const std::size_t slash = topic.find('/');
  if (slash == std::string_view::npos || slash == 0) return false;
  command.unit = std::string(topic.substr(0, slash));
  topic.remove_prefix(slash + 1);
  if (!TakeLevel(topic, kRelayLevel) || topic.size() < 2 || topic[1] != '/') return false;
  const char letter = topic[0];
  command.relay = letter >= 'a' && letter <= 'z' ? kdt::RelayOfLetter(letter) : 0;
  topic.remove_prefix(2);
  if (command.relay == 0 || !topic.ends_with(kSetLevel)) return false;
  topic.remove_suffix(kSetLevel.size());
  for (RelayLeaf leaf : kCommandLeaves) {
    if (topic == LeafName(leaf)) {
      command.leaf = leaf;
      return true;
    }
  }
  return false;
}

std::string SalvoTakeTopic(const MqttConfig& mqtt, const std::string& salvo) {
  return mqtt.topic + "/" + std::string(kSalvoId) + "/" + salvo + std::string(kTakeLevel);
}

std::string SalvoResultTopic(const MqttConfig& mqtt, const std::string& salvo) {
  return mqtt.topic + "/" + std::string(kSalvoId) + "/" + salvo + "/result";
}

bool ParseSalvoTakeTopic(const MqttConfig& mqtt, std::string_view topic, std::string& salvo) {
  if (!TakeLevel(topic, mqtt.topic) || !TakeLevel(topic, kSalvoId) ||
      !topic.ends_with(kTakeLevel)) {
    return false;
  }
  topic.remove_suffix(kTakeLevel.size());
  if (topic.empty() || !std::ranges::all_of(topic, IsIdCharacter)) return false;
  salvo = std::string(topic);
  return true;
}

std::string InputPayload(int input) {
  return "INPUT " + std::to_string(input);
}

bool ParseInputPayload(std::string_view payload, int& input) {
  for (int candidate : {kdt::kInput1, kdt::kInput2}) {
    if (payload == InputPayload(candidate) || payload == std::to_string(candidate)) {
      input = candidate;
      return true;
    }
  }
  return false;
}

std::string LockedPayload(bool locked) {
  return locked ? "ON" : "OFF";
}

std::string ProtectedPayload(const std::string& owner) {
  return owner.empty() ? LockedPayload(false) : owner;
}

bool ParseSwitchPayload(std::string_view payload, bool& on) {
  if (payload != LockedPayload(true) && payload != LockedPayload(false)) return false;
  on = payload == LockedPayload(true);
  return true;
}

std::string NodeId(const MqttConfig& mqtt) {
  std::string node = mqtt.topic;
  for (char& c : node) {
    if (!IsIdCharacter(c)) c = '_';
  }
  return node;
}

std::string DiscoveryConfigTopic(const MqttConfig& mqtt, std::string_view component,
                                 const std::string& object) {
  return mqtt.discovery + "/" + std::string(component) + "/" + NodeId(mqtt) + "/" + object +
         "/config";
}

std::string RelayObject(const std::string& unit, int relay, RelayLeaf leaf) {
  return unit + "_relay_" + kdt::RelayLowerLetter(relay) + "_" + std::string(LeafName(leaf));
}

std::string ProtectOwnerObject(const std::string& unit, int relay) {
  return RelayObject(unit, relay, RelayLeaf::kProtected) + "_by";
}

std::string SalvoObject(const MqttConfig& mqtt, const std::string& salvo) {
  return std::string(kBridgeId) + "_" + mqtt.clientId + "_" + std::string(kSalvoId) + "_" + salvo;
}

std::string DiscoveryPattern(const MqttConfig& mqtt) {
  return mqtt.discovery + "/+/" + NodeId(mqtt) + "/+/config";
}

namespace {

// The object of a configuration under this TOPIC's node: what stands
// between "DISCOVERY/<component>/<node>/" and "/config".
bool DiscoveryObject(const MqttConfig& mqtt, std::string_view topic, std::string_view& object) {
  const std::string front = mqtt.discovery + "/", node = "/" + NodeId(mqtt) + "/";
  constexpr std::string_view kConfig = "/config";
  if (topic.size() < front.size() + kConfig.size() || !topic.starts_with(front) ||
      !topic.ends_with(kConfig)) {
    return false;
  }
  topic.remove_prefix(front.size());
  topic.remove_suffix(kConfig.size());
  const std::size_t nodeAt = topic.find(node);
  if (nodeAt == std::string_view::npos || topic.find('/') != nodeAt) return false;
  object = topic.substr(nodeAt + node.size());
  return true;
}

}  // namespace

bool UnitOfDiscoveryTopic(const MqttConfig& mqtt, std::string_view topic, std::string& unit) {
  std::string_view object;
  if (!DiscoveryObject(mqtt, topic, object)) return false;
  for (int relay : kdt::kRelaysLeftToRight) {
    std::vector<std::string> tails = {ProtectOwnerObject("", relay)};  // "_relay_a_protected_by"
    for (RelayLeaf leaf : kAllLeaves) tails.push_back(RelayObject("", relay, leaf));
    for (const std::string& tail : tails) {
      if (!object.ends_with(tail)) continue;
      const std::string_view id = object.substr(0, object.size() - tail.size());
      if (id.empty() || id.size() > kLongestId || !std::ranges::all_of(id, IsIdCharacter)) {
        return false;
      }
      unit = std::string(id);
      return true;
    }
  }
  return false;
}

bool SalvoOfDiscoveryTopic(const MqttConfig& mqtt, std::string_view topic, std::string& salvo) {
  std::string_view object;
  const std::string front = SalvoObject(mqtt, "");
  if (!DiscoveryObject(mqtt, topic, object) || !object.starts_with(front) ||
      object.size() == front.size()) {
    return false;
  }
  salvo = std::string(object.substr(front.size()));
  return std::ranges::all_of(salvo, IsIdCharacter);
}

std::string HubStatusTopic(const MqttConfig& mqtt) {
  return mqtt.discovery + "/status";
}

std::string BridgeDevicePrefix(const MqttConfig& mqtt) {
  return NodeId(mqtt) + "_" + std::string(kBridgeId) + "_";
}

std::string BridgeDeviceId(const MqttConfig& mqtt) {
  return BridgeDevicePrefix(mqtt) + mqtt.clientId;
}

}  // namespace bridge
