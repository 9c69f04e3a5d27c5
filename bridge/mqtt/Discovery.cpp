#include "mqtt/Discovery.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <map>

#include "CodePage.h"
#include "Json.h"
#include "RelayName.h"
#include "Relays.h"
#include "Version.h"
#include "mqtt/Topics.h"

namespace bridge {
namespace {

constexpr const char* kManufacturer = "VORNEX";

// A configuration's members, JSON each, by name: written in the order of
// their names, as the hub itself lists them.
using Members = std::map<std::string, std::string>;

std::string Json(const Members& members) {
  kdt::JsonObject object;
  for (const auto& [name, json] : members) object.AddJson(name, json);
  return object.Text();
}

std::string Text(const std::string& text) {
  return kdt::JsonText(text);
}

Members With(Members members, const Members& more) {
  for (const auto& [name, json] : more) members[name] = json;
  return members;
}

Members Availability(const MqttConfig& mqtt, const std::string& unit) {
  std::vector<std::string> topics;
  for (const std::string& topic : {BridgeStatusTopic(mqtt), UnitStatusTopic(mqtt, unit)}) {
    topics.push_back(Json({{"topic", Text(topic)},
                           {"payload_available", Text("online")},
                           {"payload_not_available", Text("offline")}}));
  }
  return {{"availability", kdt::JsonArray(topics)}, {"availability_mode", Text("all")}};
}

std::string BridgeDevice(const MqttConfig& mqtt) {
  return Json({{"identifiers", kdt::JsonArray({Text(BridgeDeviceId(mqtt))})},
               {"name", Text("KDT-212 bridge " + mqtt.clientId)},
               {"model", Text("kdt212-bridge")},
               {"manufacturer", Text(kManufacturer)},
               {"sw_version", Text(kdt::kVersion)}});
}

std::string UnitDevice(const MqttConfig& mqtt, const std::string& unit) {
  return Json({{"identifiers", kdt::JsonArray({Text(NodeId(mqtt) + "_" + unit)})},
               {"name", Text(unit)},
               {"model", Text("KDT-212")},
               {"manufacturer", Text(kManufacturer)},
               {"sw_version", Text(kdt::kVersion)},
               {"via_device", Text(BridgeDeviceId(mqtt))}});
}

// What the relay is called at the unit, as Home Assistant shows it.
std::string RelayName(const kdt::UnitStatus& status, int relay) {
  const std::string name = kdt::PrintableText(status.name[relay - 1], kdt::Backslash::kKept);
  return name.empty() ? kdt::RelayLabel(relay) : name;
}

std::vector<Message> RelayDiscovery(const MqttConfig& mqtt, const std::string& unit,
                                    const kdt::UnitStatus& status, int relay) {
  const Members common = With(Availability(mqtt, unit), {{"device", UnitDevice(mqtt, unit)}});
  const std::string label = kdt::RelayLabel(relay), node = NodeId(mqtt);
  const std::string input = RelayObject(unit, relay, RelayLeaf::kInput),
                    name = RelayObject(unit, relay, RelayLeaf::kName),
                    locked = RelayObject(unit, relay, RelayLeaf::kLocked),
                    protect = RelayObject(unit, relay, RelayLeaf::kProtected),
                    owner = ProtectOwnerObject(unit, relay);
  const std::string protectTopic = Text(RelayTopic(mqtt, unit, relay, RelayLeaf::kProtected));
  return {
      {DiscoveryConfigTopic(mqtt, "select", input),
       Json(With(common,
                 {{"name", Text(RelayName(status, relay))},
                  {"unique_id", Text(node + "_" + input)},
                  {"state_topic", Text(RelayTopic(mqtt, unit, relay, RelayLeaf::kInput))},
                  {"command_topic", Text(CommandTopic(mqtt, unit, relay, RelayLeaf::kInput))},
                  {"options", kdt::JsonArray({Text("INPUT 1"), Text("INPUT 2")})},
                  {"icon", Text("mdi:video-input-component")}}))},
      {DiscoveryConfigTopic(mqtt, "text", name),
       Json(
           With(common, {{"name", Text(label + " name")},
                         {"unique_id", Text(node + "_" + name)},
                         {"state_topic", Text(RelayTopic(mqtt, unit, relay, RelayLeaf::kName))},
                         {"command_topic", Text(CommandTopic(mqtt, unit, relay, RelayLeaf::kName))},
                         {"min", "0"},
                         // what a unit may report, so that no state of it is refused
                         {"max", std::to_string(kdt::kReportedNameLength)},
                         {"mode", Text("text")}}))},
      {DiscoveryConfigTopic(mqtt, "binary_sensor", locked),
       Json(With(common, {{"name", Text(label + " locked")},
                          {"unique_id", Text(node + "_" + locked)},
                          {"state_topic", Text(RelayTopic(mqtt, unit, relay, RelayLeaf::kLocked))},
                          {"payload_on", Text(LockedPayload(true))},
                          {"payload_off", Text(LockedPayload(false))},
                          {"entity_category", Text("diagnostic")},
                          {"icon", Text("mdi:lock")}}))},
      // The hub's own protect: on while MQTT holds the relay, whoever else
      // may hold it otherwise.
      {DiscoveryConfigTopic(mqtt, "switch", protect),
       Json(With(common,
                 {{"name", Text(label + " protect")},
                  {"unique_id", Text(node + "_" + protect)},
                  {"state_topic", protectTopic},
                  {"value_template", Text("{{ 'ON' if value == 'mqtt' else 'OFF' }}")},
                  {"command_topic", Text(CommandTopic(mqtt, unit, relay, RelayLeaf::kProtected))},
                  {"payload_on", Text(LockedPayload(true))},
                  {"payload_off", Text(LockedPayload(false))},
                  {"entity_category", Text("config")},
                  {"icon", Text("mdi:shield-lock")}}))},
      {DiscoveryConfigTopic(mqtt, "sensor", owner),
       Json(With(common, {{"name", Text(label + " protected by")},
                          {"unique_id", Text(node + "_" + owner)},
                          {"state_topic", protectTopic},
                          {"entity_category", Text("diagnostic")},
                          {"icon", Text("mdi:shield-account")}}))},
  };
}

}  // namespace

std::vector<Message> UnitDiscovery(const MqttConfig& mqtt, const std::string& unit,
                                   const kdt::UnitStatus& status) {
  std::vector<Message> messages;
  for (int relay : kdt::kRelaysLeftToRight) {
    for (Message& message : RelayDiscovery(mqtt, unit, status, relay)) {
      messages.push_back(std::move(message));
    }
  }
  return messages;
}

std::vector<Message> SalvoDiscovery(const MqttConfig& mqtt, const SalvoConfig& salvo) {
  const std::string object = SalvoObject(mqtt, salvo.id);
  return {{DiscoveryConfigTopic(mqtt, "button", object),
           Json({{"name", Text(salvo.Shown())},
                 {"unique_id", Text(NodeId(mqtt) + "_" + object)},
                 {"command_topic", Text(SalvoTakeTopic(mqtt, salvo.id))},
                 {"payload_press", Text(std::string(kTakePayload))},
                 {"availability_topic", Text(BridgeStatusTopic(mqtt))},
                 {"payload_available", Text("online")},
                 {"payload_not_available", Text("offline")},
                 {"icon", Text("mdi:play-box-multiple")},
                 {"device", BridgeDevice(mqtt)}})}};
}

std::vector<Message> BridgeDiscovery(const MqttConfig& mqtt) {
  const std::string object = std::string(kBridgeId) + "_" + mqtt.clientId + "_connectivity";
  return {{DiscoveryConfigTopic(mqtt, "binary_sensor", object),
           Json({{"name", Text("Connection to the broker")},
                 {"unique_id", Text(NodeId(mqtt) + "_" + object)},
                 {"state_topic", Text(BridgeStatusTopic(mqtt))},
                 {"payload_on", Text("online")},
                 {"payload_off", Text("offline")},
                 {"device_class", Text("connectivity")},
                 {"entity_category", Text("diagnostic")},
                 {"device", BridgeDevice(mqtt)}})}};
}

bool PublisherOfDiscovery(const MqttConfig& mqtt, std::string_view payload, std::string& clientId) {
  const QJsonObject device =
      QJsonDocument::fromJson(QByteArray(payload.data(), qsizetype(payload.size())))
          .object()["device"]
          .toObject();
  const std::string via = device["via_device"].toString().toStdString();
  const std::string prefix = BridgeDevicePrefix(mqtt);
  if (!via.starts_with(prefix) || via.size() == prefix.size()) return false;
  clientId = via.substr(prefix.size());
  return true;
}

}  // namespace bridge
