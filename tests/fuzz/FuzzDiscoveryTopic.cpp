// A discovery topic as the broker hands it to the bridge, from any bridge or
// anyone: a unit is read from it only when the topic is a relay's
// configuration under this TOPIC, and only a well-formed id, so that what
// the bridge may clear for it stays under its own topics.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Topics.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string topic(reinterpret_cast<const char*>(data), size);
  const bridge::MqttConfig mqtt;
  std::string unit;
  if (!bridge::UnitOfDiscoveryTopic(mqtt, topic, unit)) return 0;
  if (unit.empty() || unit.size() > bridge::kLongestUnitId ||
      !std::all_of(unit.begin(), unit.end(), bridge::IsIdCharacter)) {
    std::abort();
  }
  bool found = false;
  for (int relay = 1; relay <= 3; ++relay) {
    for (bridge::RelayLeaf leaf :
         {bridge::RelayLeaf::kInput, bridge::RelayLeaf::kName, bridge::RelayLeaf::kLocked}) {
      const std::string object = bridge::RelayObject(unit, relay, leaf);
      const std::size_t component = mqtt.discovery.size() + 1;
      const std::size_t slash = topic.find('/', component);
      found = found || (slash != std::string::npos &&
                        bridge::DiscoveryConfigTopic(
                            mqtt, topic.substr(component, slash - component), object) == topic);
    }
  }
  if (!found) std::abort();
  return 0;
}
