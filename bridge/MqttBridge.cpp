#include "MqttBridge.h"

#include <QPointer>
#include <algorithm>
#include <random>

#include "CodePage.h"
#include "Discovery.h"
#include "Log.h"
#include "Protects.h"
#include "RelayName.h"
#include "Salvos.h"
#include "StatusJson.h"
#include "Topics.h"

namespace bridge {
namespace {

// Home Assistant, back again, hears from many devices at once: each waits a
// little, a while of its own.
constexpr int kDiscoveryDelayMinMs = 1000;
constexpr int kDiscoveryDelayMaxMs = 3000;
constexpr const char* kNoLongerServed = "the bridge that served it has stopped";
// Who the hub is, in the record and as the owner of its protects.
constexpr const char* kOwner = "mqtt";

int DiscoveryDelay() {
  static std::mt19937 random{std::random_device{}()};
  return std::uniform_int_distribution<int>(kDiscoveryDelayMinMs, kDiscoveryDelayMaxMs)(random);
}

// A name as the hub shows it, and as it may come back: control characters
// escaped, as the log has them.
std::string NameText(const std::string& bytes) {
  return kdt::PrintableText(bytes, kdt::Backslash::kKept);
}

}  // namespace

MqttBridge::MqttBridge(const MqttConfig& config, const BridgeServices& services)
    : config_(config), protects_(services.protects), salvos_(services.salvos) {
  discoveryAgain_.setSingleShot(true);
  connect(&discoveryAgain_, &QTimer::timeout, this, [this] { PublishDiscovery(true); });
  MqttClient::Handlers handlers;
  handlers.connected = [this] { Connected(); };
  handlers.message = [this](const std::string& topic, const std::string& payload, bool retained) {
    Message(topic, payload, retained);
  };
  client_ = std::make_unique<MqttClient>(config_, BridgeStatusTopic(config_),
                                         BridgeInstanceTopic(config_), std::move(handlers));
}

MqttBridge::~MqttBridge() {
  std::vector<std::pair<std::string, std::string>> farewell;
  for (const SharedUnit* unit : units_) {
    const std::string& id = unit->Config().id;
    farewell.emplace_back(UnitStateTopic(config_, id),
                          kdt::NotConnectedJson(unit->Where(), kNoLongerServed));
    farewell.emplace_back(UnitStatusTopic(config_, id), "offline");
  }
  farewell.emplace_back(BridgeStatusTopic(config_), "offline");
  farewell.emplace_back(BridgeInstanceTopic(config_), "");
  client_->SetFarewell(std::move(farewell));
  client_.reset();
}

SharedUnit* MqttBridge::Find(const std::string& id) const {
  for (SharedUnit* unit : units_) {
    if (unit->Config().id == id) return unit;
  }
  return nullptr;
}

void MqttBridge::UnitsChanged(const std::vector<SharedUnit*>& units) {
  units_ = units;
  for (const SharedUnit* unit : units_) PublishUnit(*unit);
  PublishDiscovery(false);
}

void MqttBridge::UnitRemoved(const std::string& id) {
  for (const std::string& topic : UnitTopics(config_, id)) Clear(topic);
  if (config_.discovery.empty()) return;
  for (const bridge::Message& message : UnitDiscovery(config_, id, {})) Clear(message.topic);
}

void MqttBridge::UnitChanged(const SharedUnit& unit) {
  PublishUnit(unit);
  if (config_.discovery.empty() || !unit.Live()) return;
  // A relay's name names its select: a new name is a new configuration.
  for (const bridge::Message& message : UnitDiscovery(config_, unit.Config().id, unit.Status())) {
    Publish(message.topic, message.payload);
  }
}

// Everything anew: the broker may have lost what it held, or it may hold
// what is no longer so.
void MqttBridge::Connected() {
  published_.clear();
  cleared_.clear();
  for (const std::string& pattern : CommandPatterns(config_)) client_->Subscribe(pattern);
  if (!config_.discovery.empty()) {
    client_->Subscribe(HubStatusTopic(config_));
    client_->Subscribe(DiscoveryPattern(config_));
  }
  Publish(BridgeStatusTopic(config_), "online");
  for (const SharedUnit* unit : units_) PublishUnit(*unit);
  PublishDiscovery(false);
}

void MqttBridge::PublishUnit(const SharedUnit& unit) {
  if (!unit.Known()) return;  // neither up nor down yet
  const std::string& id = unit.Config().id;
  Publish(UnitStatusTopic(config_, id), unit.Live() ? "online" : "offline");
  Publish(UnitStateTopic(config_, id),
          unit.Live() ? kdt::StatusJson(unit.Status(), unit.Where())
                      : kdt::NotConnectedJson(unit.Where(), unit.DownReason()));
  // The bridge's own, known whether the unit is up or not.
  for (int relay : kdt::kRelaysLeftToRight) {
    const Protect* protect = unit.ProtectOf(relay);
    Publish(RelayTopic(config_, id, relay, RelayLeaf::kProtected),
            ProtectedPayload(protect != nullptr ? protect->by : ""));
  }
  if (!unit.Live()) return;  // the relays keep their last values; the hub shows them unavailable
  for (int relay : kdt::kRelaysLeftToRight) {
    const std::uint8_t state = unit.Status().state[relay - 1];
    if (kdt::InputOf(state) != 0) {
      Publish(RelayTopic(config_, id, relay, RelayLeaf::kInput), InputPayload(kdt::InputOf(state)));
    }
    Publish(RelayTopic(config_, id, relay, RelayLeaf::kName),
            NameText(unit.Status().name[relay - 1]));
    Publish(RelayTopic(config_, id, relay, RelayLeaf::kLocked),
            LockedPayload(kdt::IsLocked(state)));
  }
}

// A unit is announced once it has been seen, so that its relays' names are
// known; one that is down keeps what the hub already knows of it.
// `again`: Home Assistant has started again and needs all of it.
void MqttBridge::PublishDiscovery(bool again) {
  if (config_.discovery.empty()) return;
  std::vector<bridge::Message> messages = BridgeDiscovery(config_);
  ClearSalvosGone();
  for (const SalvoConfig& salvo : salvos_.All()) {
    for (bridge::Message& message : SalvoDiscovery(config_, salvo)) {
      buttons_.insert(message.topic);
      messages.push_back(std::move(message));
    }
  }
  for (const SharedUnit* unit : units_) {
    if (!unit->Live()) continue;
    for (bridge::Message& message : UnitDiscovery(config_, unit->Config().id, unit->Status())) {
      messages.push_back(std::move(message));
    }
  }
  for (const bridge::Message& message : messages) Publish(message.topic, message.payload, again);
}

// The buttons of salvos that a reload took out go from the hub.
void MqttBridge::ClearSalvosGone() {
  for (auto it = buttons_.begin(); it != buttons_.end();) {
    std::string salvo;
    if (SalvoOfDiscoveryTopic(config_, *it, salvo) && salvos_.Find(salvo) != nullptr) {
      ++it;
    } else {
      Clear(*it);
      it = buttons_.erase(it);
    }
  }
}

// Retained, and only when the value changed (or `force`).
void MqttBridge::Publish(const std::string& topic, const std::string& payload, bool force) {
  const auto found = published_.find(topic);
  if (!force && found != published_.end() && found->second == payload) return;
  if (client_->Publish(topic, payload, true)) published_[topic] = payload;
}

void MqttBridge::Clear(const std::string& topic) {
  client_->Publish(topic, "", true);
  published_.erase(topic);
}

void MqttBridge::Message(const std::string& topic, const std::string& payload, bool retained) {
  if (!config_.discovery.empty() && topic == HubStatusTopic(config_)) {
    if (payload == "online" && !retained) discoveryAgain_.start(DiscoveryDelay());
    return;
  }
  std::string unit, salvo;
  if (!config_.discovery.empty() && UnitOfDiscoveryTopic(config_, topic, unit)) {
    if (!payload.empty()) Discovered(unit, payload, retained);
    return;
  }
  if (!config_.discovery.empty() && SalvoOfDiscoveryTopic(config_, topic, salvo)) {
    // one of an earlier run, for a salvo no longer in the file
    if (!payload.empty() && salvos_.Find(salvo) == nullptr) Clear(topic);
    return;
  }
  if (ParseSalvoTakeTopic(config_, topic, salvo)) return TakeSalvo(salvo, payload, retained);
  Command(topic, payload, retained);
}

// A unit's configuration at the hub. One that this bridge left in an earlier
// run, for a unit no longer in its file, is cleared; one that another bridge
// publishes for a unit of this one's means two bridges serve one id under
// one TOPIC, which only their configurations can mend.
void MqttBridge::Discovered(const std::string& unit, const std::string& payload, bool retained) {
  std::string publisher;
  if (!PublisherOfDiscovery(config_, payload, publisher)) return;
  if (publisher != config_.clientId) {
    if (Find(unit) != nullptr && sharedWith_.insert({unit, publisher}).second) {
      Log("mqtt: unit " + unit + " is served by bridge " + Quoted(publisher) +
          " too, under the same TOPIC " + config_.topic + ": give it another id in one of them");
    }
  } else if (retained && Find(unit) == nullptr && cleared_.insert(unit).second) {
    Log("mqtt: " + unit + " is no longer in the configuration: clearing its topics");
    MqttBridge::UnitRemoved(unit);
  }
}

void MqttBridge::Command(const std::string& topic, const std::string& payload, bool retained) {
  bridge::Command command;
  if (!ParseCommandTopic(config_, topic, command)) return;
  const std::string what = "mqtt: " + Quoted(command.unit) + ": " + kdt::RelayLabel(command.relay) +
                           ": " + Quoted(payload);
  SharedUnit* unit = Find(command.unit);
  if (payload.empty()) {
    return;  // how a hub clears a retained message: no command at all
  } else if (retained) {
    Dropped("retained", what +
                            " ignored: a retained command would be carried out again at "
                            "every connection");
  } else if (unit == nullptr) {
    Dropped("no such unit", what + " ignored: no such unit");
  } else if (command.leaf == RelayLeaf::kProtected) {
    CommandProtect(*unit, command.relay, payload);
  } else if (!unit->Live()) {
    Dropped("unit down", what + " dropped: the unit is not connected");
  } else if (command.leaf == RelayLeaf::kInput) {
    CommandInput(*unit, command.relay, payload);
  } else {
    CommandName(*unit, command.relay, payload);
  }
}

void MqttBridge::CommandInput(SharedUnit& unit, int relay, const std::string& payload) {
  const std::string what = "mqtt: " + unit.Config().id + ": " + kdt::RelayLabel(relay) + ": ";
  int input = 0;
  if (!ParseInputPayload(payload, input)) {
    Dropped("not an input", what + Quoted(payload) + " dropped: not INPUT 1, INPUT 2, 1 or 2");
  } else if (kdt::IsLocked(unit.Status().state[relay - 1])) {
    Dropped("locked", what + InputPayload(input) + " dropped: the relay is locked at the unit");
  } else {
    Send(unit, relay, kdt::SetInputFrame(std::uint8_t(input), std::uint8_t(relay)),
         what + InputPayload(input));
  }
}

// A name the unit cannot take is refused, and the name topic is published
// again as it stands, so that the hub shows what the unit holds.
void MqttBridge::CommandName(SharedUnit& unit, int relay, const std::string& payload) {
  const std::string what =
      "mqtt: " + unit.Config().id + ": " + kdt::RelayLabel(relay) + ": name " + Quoted(payload);
  std::string bytes, problem;
  if (kdt::EncodeRelayName(payload, bytes, problem)) {
    Send(unit, relay, kdt::SetNameFrame(std::uint8_t(relay), bytes), what);
    return;
  }
  Dropped("name refused: " + KindOf(problem), what + " refused: " + problem);
  const std::string topic = RelayTopic(config_, unit.Config().id, relay, RelayLeaf::kName);
  Publish(topic, NameText(unit.Status().name[relay - 1]), true);
}

// ON protects the relay for the hub, OFF releases the hub's protect; the
// hub can neither take nor release one that someone else holds.
void MqttBridge::CommandProtect(SharedUnit& unit, int relay, const std::string& payload) {
  const std::string& id = unit.Config().id;
  const std::string what = "mqtt: " + id + ": " + kdt::RelayLabel(relay) + ": protect ";
  bool on = false;
  if (!ParseSwitchPayload(payload, on)) {
    return Dropped("not a switch", what + Quoted(payload) + " dropped: not ON or OFF");
  }
  const Protects::Change change =
      on ? protects_.Hold(id, relay, kOwner) : protects_.Release(id, relay, kOwner, false);
  if (change == Protects::Change::kHeldByOther) {
    Dropped("protect of another", what + payload + " dropped: the relay is protected by " +
                                      OwnerText(protects_.Of(id, relay)->by));
  }
}

// A take's answer goes to the salvo's result topic; a take the hub would
// replay at every connection is none.
void MqttBridge::TakeSalvo(const std::string& salvo, const std::string& payload, bool retained) {
  const std::string what = "mqtt: salvo " + Quoted(salvo) + ": " + Quoted(payload);
  if (payload.empty()) return;
  if (retained) {
    return Dropped("retained",
                   what + " ignored: a retained take would be taken again at every connection");
  }
  if (payload != kTakePayload) return Dropped("not TAKE", what + " dropped: a take is TAKE");
  QPointer<MqttBridge> self(this);
  const std::string topic = SalvoResultTopic(config_, salvo);
  if (!salvos_.Take(salvo, kOwner, [self, topic](const std::string& answer) {
        if (self) self->client_->Publish(topic, answer, false);
      })) {
    Dropped("no such salvo", what + " ignored: no such salvo");
  }
}

// The newest command for a relay wins: one that still waits for its turn is
// replaced, so that a flood from the hub leaves at most one behind it.
void MqttBridge::Send(SharedUnit& unit, int relay, const kdt::Frame& frame,
                      const std::string& what) {
  switch (unit.Submit({source_, frame, nullptr, kOwner, kOwner}, true)) {
    case Submitted::kProtected:
      Dropped("protected",
              what + " dropped: the relay is protected by " + OwnerText(unit.ProtectOf(relay)->by));
      break;
    case Submitted::kReplaced:
      Dropped("replaced", what + " replaces a command of the hub's not yet sent");
      break;
    case Submitted::kQueueFull:
      Dropped("queue full", what + " dropped: the unit's queue of commands is full");
      break;
    case Submitted::kUnitDown:
      Dropped("unit down", what + " dropped: the unit is not connected");
      break;
    case Submitted::kQueued:
      break;
  }
}

void MqttBridge::Dropped(const std::string& kind, const std::string& line) {
  throttle_.Log(kind, "mqtt", line);
}

}  // namespace bridge
