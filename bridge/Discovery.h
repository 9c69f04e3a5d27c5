// Home Assistant's MQTT discovery for the bridge: one device per unit, with
// for each relay a select of its input (named after the relay's name at the
// unit, renamed when that changes, its unique_id never), a text entity for
// the name and a diagnostic binary sensor for the lock; and a device of the
// bridge's own with a connectivity sensor. Availability needs the bridge and
// the unit both online. The configurations stand at
//   DISCOVERY/<component>/<node>/<object>/config
// where <node> is the base topic made fit for an id (TOPIC kdt212: kdt212),
// and <object> is "<unit>_relay_<r>_input" and the like, or
// "bridge_connectivity".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "BridgeConfig.h"
#include "UnitFrames.h"

namespace bridge {

struct Message {
  std::string topic;
  std::string payload;
};

// A relay's select is named as the relay is at the unit, or RELAY A, B, C
// while its name is empty.
std::vector<Message> UnitDiscovery(const MqttConfig& mqtt, const std::string& unit,
                                   const kdt::UnitStatus& status);
std::vector<Message> BridgeDiscovery(const MqttConfig& mqtt);
// The pattern that matches every configuration the bridge may have left.
std::string DiscoveryPattern(const MqttConfig& mqtt);
// The unit whose configuration stands at `topic`; false for the bridge's own
// and for anything else.
bool UnitOfDiscoveryTopic(const MqttConfig& mqtt, std::string_view topic, std::string& unit);
// The bridge's device at the hub: "kdt212_bridge_kdt212-bridge".
std::string BridgeDeviceId(const MqttConfig& mqtt);
// The CLIENTID of the bridge that published a unit's configuration, read
// from the device it names as the unit's way in; false for one that no
// bridge under this TOPIC published.
bool PublisherOfDiscovery(const MqttConfig& mqtt, std::string_view payload, std::string& clientId);
// Where Home Assistant says it has started again.
std::string HubStatusTopic(const MqttConfig& mqtt);

}  // namespace bridge
