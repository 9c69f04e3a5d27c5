#include "Topics.h"

#include "Relays.h"

namespace bridge {
namespace {

constexpr std::string_view kRelayLevel = "relay";
constexpr std::string_view kSetLevel = "/set";

std::string_view LeafName(RelayLeaf leaf) {
  switch (leaf) {
    case RelayLeaf::kInput:
      return "input";
    case RelayLeaf::kName:
      return "name";
    case RelayLeaf::kLocked:
      return "locked";
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
    for (RelayLeaf leaf : {RelayLeaf::kInput, RelayLeaf::kName, RelayLeaf::kLocked}) {
      topics.push_back(RelayTopic(mqtt, unit, relay, leaf));
    }
  }
  return topics;
}

std::vector<std::string> CommandPatterns(const MqttConfig& mqtt) {
  std::vector<std::string> patterns;
  for (RelayLeaf leaf : {RelayLeaf::kInput, RelayLeaf::kName}) {
    patterns.push_back(mqtt.topic + "/+/" + std::string(kRelayLevel) + "/+/" +
                       std::string(LeafName(leaf)) + std::string(kSetLevel));
  }
  return patterns;
}

bool ParseCommandTopic(const MqttConfig& mqtt, std::string_view topic, Command& command) {
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
  for (RelayLeaf leaf : {RelayLeaf::kInput, RelayLeaf::kName}) {
    if (topic == LeafName(leaf)) {
      command.leaf = leaf;
      return true;
    }
  }
  return false;
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

}  // namespace bridge
