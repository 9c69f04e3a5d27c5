// Home Assistant's MQTT discovery for the bridge: one device per unit, with
// for each relay a select of its input (named after the relay's name at the
// unit, renamed when that changes, its unique_id never), a text entity for
// the name and a diagnostic binary sensor for the lock; and a device of the
// bridge's own (BridgeDeviceId, one per CLIENTID, so that several bridges
// sit side by side) with a connectivity sensor. Each unit's device names
// its bridge's as the way it is reached. Availability needs the bridge and
// the unit both online. Where the configurations stand: Topics.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "UnitFrames.h"
#include "config/SalvoConfig.h"
#include "mqtt/MqttSection.h"

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
std::vector<Message> SalvoDiscovery(const MqttConfig& mqtt, const SalvoConfig& salvo);
// The CLIENTID of the bridge that published a unit's configuration, read
// from the device it names as the unit's way in; false for one that no
// bridge under this TOPIC published.
bool PublisherOfDiscovery(const MqttConfig& mqtt, std::string_view payload, std::string& clientId);

}  // namespace bridge
