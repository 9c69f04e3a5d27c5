#include "mqtt/Discovery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "CodePage.h"
#include "RelayName.h"
#include "Relays.h"
#include "Version.h"
#include "mqtt/Topics.h"

namespace bridge {
namespace {

constexpr const char* kManufacturer = "VORNEX";

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

QJsonObject Availability(const MqttConfig& mqtt, const std::string& unit) {
  QJsonArray topics;
  for (const std::string& topic : {BridgeStatusTopic(mqtt), UnitStatusTopic(mqtt, unit)}) {
    topics.append(QJsonObject{{"topic", Q(topic)},
                              {"payload_available", "online"},
                              {"payload_not_available", "offline"}});
  }
  return QJsonObject{{"availability", topics}, {"availability_mode", "all"}};
}

QJsonObject BridgeDevice(const MqttConfig& mqtt) {
  return QJsonObject{{"identifiers", QJsonArray{Q(BridgeDeviceId(mqtt))}},
                     {"name", Q("KDT-212 bridge " + mqtt.clientId)},
                     {"model", "kdt212-bridge"},
                     {"manufacturer", kManufacturer},
                     {"sw_version", kdt::kVersion}};
}

QJsonObject UnitDevice(const MqttConfig& mqtt, const std::string& unit) {
  return QJsonObject{{"identifiers", QJsonArray{Q(NodeId(mqtt) + "_" + unit)}},
                     {"name", Q(unit)},
                     {"model", "KDT-212"},
                     {"manufacturer", kManufacturer},
                     {"sw_version", kdt::kVersion},
                     {"via_device", Q(BridgeDeviceId(mqtt))}};
}

std::string Json(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

QJsonObject With(QJsonObject object, const QJsonObject& more) {
  for (auto it = more.begin(); it != more.end(); ++it) object.insert(it.key(), it.value());
  return object;
}

// What the relay is called at the unit, as Home Assistant shows it.
std::string RelayName(const kdt::UnitStatus& status, int relay) {
  const std::string name = kdt::PrintableText(status.name[relay - 1], kdt::Backslash::kKept);
  return name.empty() ? kdt::RelayLabel(relay) : name;
}

std::vector<Message> RelayDiscovery(const MqttConfig& mqtt, const std::string& unit,
                                    const kdt::UnitStatus& status, int relay) {
  const QJsonObject common = With(Availability(mqtt, unit), {{"device", UnitDevice(mqtt, unit)}});
  const std::string label = kdt::RelayLabel(relay), node = NodeId(mqtt);
  const std::string input = RelayObject(unit, relay, RelayLeaf::kInput),
                    name = RelayObject(unit, relay, RelayLeaf::kName),
                    locked = RelayObject(unit, relay, RelayLeaf::kLocked),
                    protect = RelayObject(unit, relay, RelayLeaf::kProtected),
                    owner = ProtectOwnerObject(unit, relay);
  const QString protectTopic = Q(RelayTopic(mqtt, unit, relay, RelayLeaf::kProtected));
  return {
      {DiscoveryConfigTopic(mqtt, "select", input),
       Json(With(common, {{"name", Q(RelayName(status, relay))},
                          {"unique_id", Q(node + "_" + input)},
                          {"state_topic", Q(RelayTopic(mqtt, unit, relay, RelayLeaf::kInput))},
                          {"command_topic", Q(CommandTopic(mqtt, unit, relay, RelayLeaf::kInput))},
                          {"options", QJsonArray{"INPUT 1", "INPUT 2"}},
                          {"icon", "mdi:video-input-component"}}))},
      {DiscoveryConfigTopic(mqtt, "text", name),
       Json(With(common, {{"name", Q(label + " name")},
                          {"unique_id", Q(node + "_" + name)},
                          {"state_topic", Q(RelayTopic(mqtt, unit, relay, RelayLeaf::kName))},
                          {"command_topic", Q(CommandTopic(mqtt, unit, relay, RelayLeaf::kName))},
                          {"min", 0},
                          // what a unit may report, so that no state of it is refused
                          {"max", int(kdt::kReportedNameLength)},
                          {"mode", "text"}}))},
      {DiscoveryConfigTopic(mqtt, "binary_sensor", locked),
       Json(With(common, {{"name", Q(label + " locked")},
                          {"unique_id", Q(node + "_" + locked)},
                          {"state_topic", Q(RelayTopic(mqtt, unit, relay, RelayLeaf::kLocked))},
                          {"payload_on", Q(LockedPayload(true))},
                          {"payload_off", Q(LockedPayload(false))},
                          {"entity_category", "diagnostic"},
                          {"icon", "mdi:lock"}}))},
      // The hub's own protect: on while MQTT holds the relay, whoever else
      // may hold it otherwise.
      {DiscoveryConfigTopic(mqtt, "switch", protect),
       Json(With(common,
                 {{"name", Q(label + " protect")},
                  {"unique_id", Q(node + "_" + protect)},
                  {"state_topic", protectTopic},
                  {"value_template", "{{ 'ON' if value == 'mqtt' else 'OFF' }}"},
                  {"command_topic", Q(CommandTopic(mqtt, unit, relay, RelayLeaf::kProtected))},
                  {"payload_on", Q(LockedPayload(true))},
                  {"payload_off", Q(LockedPayload(false))},
                  {"entity_category", "config"},
                  {"icon", "mdi:shield-lock"}}))},
      {DiscoveryConfigTopic(mqtt, "sensor", owner),
       Json(With(common, {{"name", Q(label + " protected by")},
                          {"unique_id", Q(node + "_" + owner)},
                          {"state_topic", protectTopic},
                          {"entity_category", "diagnostic"},
                          {"icon", "mdi:shield-account"}}))},
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
           Json({{"name", Q(salvo.label.empty() ? salvo.id : salvo.label)},
                 {"unique_id", Q(NodeId(mqtt) + "_" + object)},
                 {"command_topic", Q(SalvoTakeTopic(mqtt, salvo.id))},
                 {"payload_press", QString::fromUtf8(kTakePayload)},
                 {"availability_topic", Q(BridgeStatusTopic(mqtt))},
                 {"payload_available", "online"},
                 {"payload_not_available", "offline"},
                 {"icon", "mdi:play-box-multiple"},
                 {"device", BridgeDevice(mqtt)}})}};
}

std::vector<Message> BridgeDiscovery(const MqttConfig& mqtt) {
  const std::string object = std::string(kBridgeId) + "_" + mqtt.clientId + "_connectivity";
  return {{DiscoveryConfigTopic(mqtt, "binary_sensor", object),
           Json({{"name", "Connection to the broker"},
                 {"unique_id", Q(NodeId(mqtt) + "_" + object)},
                 {"state_topic", Q(BridgeStatusTopic(mqtt))},
                 {"payload_on", "online"},
                 {"payload_off", "offline"},
                 {"device_class", "connectivity"},
                 {"entity_category", "diagnostic"},
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
