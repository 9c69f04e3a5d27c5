// A discovery topic as the broker hands it to the bridge, from any bridge or
// anyone: a unit is read from it only when the topic is a relay's
// configuration under this TOPIC, and only a well-formed id, so that what
// the bridge may clear for it stays under its own topics; a salvo's likewise.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mqtt/Topics.h"

namespace {

// Whether `topic` is the configuration of `object` under some component.
bool IsConfigOf(const bridge::MqttConfig& mqtt, const std::string& topic,
                const std::string& object) {
  const std::size_t component = mqtt.discovery.size() + 1;
  const std::size_t slash = topic.find('/', component);
  return slash != std::string::npos &&
         bridge::DiscoveryConfigTopic(mqtt, topic.substr(component, slash - component), object) ==
             topic;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string topic(reinterpret_cast<const char*>(data), size);
  const bridge::MqttConfig mqtt;
  std::string salvo;
  if (bridge::SalvoOfDiscoveryTopic(mqtt, topic, salvo) &&
      (salvo.empty() || !std::all_of(salvo.begin(), salvo.end(), bridge::IsIdCharacter) ||
       !IsConfigOf(mqtt, topic, bridge::SalvoObject(mqtt, salvo)))) {
    std::abort();
  }
  std::string unit;
  if (!bridge::UnitOfDiscoveryTopic(mqtt, topic, unit)) return 0;
  if (!bridge::IsId(unit)) std::abort();
  bool found = false;
  for (int relay = 1; relay <= 3; ++relay) {
    found = found || IsConfigOf(mqtt, topic, bridge::ProtectOwnerObject(unit, relay));
    for (bridge::RelayLeaf leaf : {bridge::RelayLeaf::kInput, bridge::RelayLeaf::kName,
                                   bridge::RelayLeaf::kLocked, bridge::RelayLeaf::kProtected}) {
      found = found || IsConfigOf(mqtt, topic, bridge::RelayObject(unit, relay, leaf));
    }
  }
  if (!found) std::abort();
  return 0;
}
