#include "mqtt/MqttFace.h"

#include <QPointer>
#include <algorithm>
#include <random>

#include "CodePage.h"
#include "StatusJson.h"
#include "json/BridgeJson.h"
#include "mqtt/Discovery.h"

namespace bridge {
namespace {

// Home Assistant, back again, hears from many devices at once: each waits a
// little, a while of its own.
constexpr int kDiscoveryDelayMinMs = 1000;
constexpr int kDiscoveryDelayMaxMs = 3000;
constexpr const char* kNoLongerServed = "the bridge that served it has stopped";

int DiscoveryDelay() {
  static std::mt19937 random{std::random_device{}()};
  return std::uniform_int_distribution<int>(kDiscoveryDelayMinMs, kDiscoveryDelayMaxMs)(random);
}

// A name as the hub shows it, and as it may come back: control characters
// escaped, as the log has them.
std::string NameText(const std::string& bytes) {
  return kdt::PrintableText(bytes, kdt::Backslash::kKept);
}

// What stood in the way of the hub's command, in the log's words.
std::string DroppedBecause(const Result& refused, const Core& core, const Unit& unit, int relay) {
  switch (refused.Why()) {
    case Refusal::kLocked:
      return "dropped: the relay is locked at the unit";
    case Refusal::kProtected:
      return "dropped: the relay is protected by " + core.ProtectOf(unit.Id(), relay)->by.InWords();
    case Refusal::kDown:
      return "dropped: the unit is not connected";
    case Refusal::kQueueFull:
      return "dropped: the unit's queue of commands is full";
    default:
      return "refused: " + refused.Text();
  }
}

}  // namespace

MqttFace::MqttFace(const MqttConfig& config, Core& core) : config_(config), core_(core) {
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

MqttFace::~MqttFace() {
  std::vector<std::pair<std::string, std::string>> farewell;
  for (const Unit* unit : units_) {
    const std::string& id = unit->Id();
    farewell.emplace_back(UnitStateTopic(config_, id),
                          kdt::NotConnectedJson(unit->Where(), kNoLongerServed));
    farewell.emplace_back(UnitStatusTopic(config_, id), "offline");
  }
  farewell.emplace_back(BridgeStatusTopic(config_), "offline");
  farewell.emplace_back(BridgeInstanceTopic(config_), "");
  client_->SetFarewell(std::move(farewell));
  client_.reset();
}

bool MqttFace::Reconfigure(const FaceSettings& settings) {
  const auto* mqtt = dynamic_cast<const MqttConfig*>(&settings);
  return mqtt != nullptr && *mqtt == config_;
}

void MqttFace::UnitsChanged(const std::vector<Unit*>& units) {
  units_ = units;
  for (const Unit* unit : units_) PublishUnit(*unit);
  PublishDiscovery(false);
}

void MqttFace::UnitRemoved(const std::string& id) {
  for (const std::string& topic : UnitTopics(config_, id)) Clear(topic);
  if (config_.discovery.empty()) return;
  for (const bridge::Message& message : UnitDiscovery(config_, id, {})) Clear(message.topic);
}

void MqttFace::UnitChanged(const Unit& unit) {
  PublishUnit(unit);
  if (config_.discovery.empty() || !unit.Live()) return;
  // A relay's name names its select: a new name is a new configuration.
  for (const bridge::Message& message : UnitDiscovery(config_, unit.Id(), unit.Status())) {
    Publish(message.topic, message.payload);
  }
}

// Everything anew: the broker may have lost what it held, or it may hold
// what is no longer so.
void MqttFace::Connected() {
  published_.clear();
  cleared_.clear();
  for (const std::string& pattern : CommandPatterns(config_)) client_->Subscribe(pattern);
  if (!config_.discovery.empty()) {
    client_->Subscribe(HubStatusTopic(config_));
    client_->Subscribe(DiscoveryPattern(config_));
  }
  Publish(BridgeStatusTopic(config_), "online");
  for (const Unit* unit : units_) PublishUnit(*unit);
  PublishDiscovery(false);
}

void MqttFace::PublishUnit(const Unit& unit) {
  if (!unit.Known()) return;  // neither up nor down yet
  const std::string& id = unit.Id();
  Publish(UnitStatusTopic(config_, id), unit.Live() ? "online" : "offline");
  const kdt::JsonObject inputs = kdt::JsonObject().AddJson("inputs", InputsJson(unit.Config()));
  Publish(UnitStateTopic(config_, id),
          unit.Live() ? kdt::StatusJson(unit.Status(), unit.Where(), {}, inputs)
                      : kdt::NotConnectedJson(unit.Where(), unit.DownReason(), inputs));
  // The bridge's own, known whether the unit is up or not.
  for (int relay : kdt::kRelaysLeftToRight) {
    const Protect* protect = core_.ProtectOf(id, relay);
    Publish(RelayTopic(config_, id, relay, RelayLeaf::kProtected),
            ProtectedPayload(protect != nullptr ? protect->by.Text() : ""));
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
void MqttFace::PublishDiscovery(bool again) {
  if (config_.discovery.empty()) return;
  std::vector<bridge::Message> messages = BridgeDiscovery(config_);
  ClearSalvosGone();
  for (const SalvoConfig& salvo : core_.AllSalvos()) {
    for (bridge::Message& message : SalvoDiscovery(config_, salvo)) {
      buttons_.insert(message.topic);
      messages.push_back(std::move(message));
    }
  }
  for (const Unit* unit : units_) {
    if (!unit->Live()) continue;
    for (bridge::Message& message : UnitDiscovery(config_, unit->Id(), unit->Status())) {
      messages.push_back(std::move(message));
    }
  }
  for (const bridge::Message& message : messages) Publish(message.topic, message.payload, again);
}

// The buttons of salvos that a reload took out go from the hub.
void MqttFace::ClearSalvosGone() {
  for (auto it = buttons_.begin(); it != buttons_.end();) {
    std::string salvo;
    if (SalvoOfDiscoveryTopic(config_, *it, salvo) && core_.FindSalvo(salvo) != nullptr) {
      ++it;
    } else {
      Clear(*it);
      it = buttons_.erase(it);
    }
  }
}

// Retained, and only when the value changed (or `force`).
void MqttFace::Publish(const std::string& topic, const std::string& payload, bool force) {
  const auto found = published_.find(topic);
  if (!force && found != published_.end() && found->second == payload) return;
  if (client_->Publish(topic, payload, true)) published_[topic] = payload;
}

void MqttFace::Clear(const std::string& topic) {
  client_->Publish(topic, "", true);
  published_.erase(topic);
}

void MqttFace::Message(const std::string& topic, const std::string& payload, bool retained) {
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
    if (!payload.empty() && core_.FindSalvo(salvo) == nullptr) Clear(topic);
    return;
  }
  if (ParseSalvoTakeTopic(config_, topic, salvo)) return TakeSalvo(salvo, payload, retained);
  RelayCommand(topic, payload, retained);
}

// A unit's configuration at the hub. One that this bridge left in an earlier
// run, for a unit no longer in its file, is cleared; one that another bridge
// publishes for a unit of this one's means two bridges serve one id under
// one TOPIC, which only their configurations can mend.
void MqttFace::Discovered(const std::string& unit, const std::string& payload, bool retained) {
  std::string publisher;
  if (!PublisherOfDiscovery(config_, payload, publisher)) return;
  if (publisher != config_.clientId) {
    if (core_.FindUnit(unit) != nullptr && sharedWith_.insert({unit, publisher}).second) {
      Log("mqtt: unit " + unit + " is served by bridge " + Quoted(publisher) +
          " too, under the same TOPIC " + config_.topic + ": give it another id in one of them");
    }
  } else if (retained && core_.FindUnit(unit) == nullptr && cleared_.insert(unit).second) {
    Log("mqtt: " + unit + " is no longer in the configuration: clearing its topics");
    MqttFace::UnitRemoved(unit);
  }
}

void MqttFace::RelayCommand(const std::string& topic, const std::string& payload, bool retained) {
  CommandOnTopic command;
  if (!ParseCommandTopic(config_, topic, command)) return;
  const std::string what = "mqtt: " + Quoted(command.unit) + ": " + kdt::RelayLabel(command.relay) +
                           ": " + Quoted(payload);
  const Unit* unit = core_.FindUnit(command.unit);
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
  } else if (command.leaf == RelayLeaf::kInput) {
    CommandInput(*unit, command.relay, payload);
  } else {
    CommandName(*unit, command.relay, payload);
  }
}

void MqttFace::CommandInput(const Unit& unit, int relay, const std::string& payload) {
  const std::string what = "mqtt: " + unit.Id() + ": " + kdt::RelayLabel(relay) + ": ";
  int input = 0;
  if (!ParseInputPayload(payload, input)) {
    return Dropped("not an input",
                   what + Quoted(payload) + " dropped: not INPUT 1, INPUT 2, 1 or 2");
  }
  Send(Command{.unit = unit.Id(),
               .relay = relay,
               .what = Command::What::kInput,
               .input = input,
               .by = Cause{Owner::Mqtt()},
               .source = source_,
               .until = Command::Until::kNewestWins},
       what + InputPayload(input));
}

// A name the unit cannot take is refused, and the name topic is published
// again as it stands, so that the hub shows what the unit holds.
void MqttFace::CommandName(const Unit& unit, int relay, const std::string& payload) {
  Send(Command{.unit = unit.Id(),
               .relay = relay,
               .what = Command::What::kName,
               .name = payload,
               .nameIn = Command::NameIn::kText,
               .by = Cause{Owner::Mqtt()},
               .source = source_,
               .until = Command::Until::kNewestWins},
       "mqtt: " + unit.Id() + ": " + kdt::RelayLabel(relay) + ": name " + Quoted(payload));
}

// ON protects the relay for the hub, OFF releases the hub's protect; the
// hub can neither take nor release one that someone else holds.
void MqttFace::CommandProtect(const Unit& unit, int relay, const std::string& payload) {
  const std::string what = "mqtt: " + unit.Id() + ": " + kdt::RelayLabel(relay) + ": protect ";
  bool on = false;
  if (!ParseSwitchPayload(payload, on)) {
    return Dropped("not a switch", what + Quoted(payload) + " dropped: not ON or OFF");
  }
  if (const Result result = core_.SetProtect(unit.Id(), relay, Owner::Mqtt(), on, false);
      !result.Ok()) {
    Dropped("protect of another",
            what + payload + " " + DroppedBecause(result, core_, unit, relay));
  }
}

// A take's answer goes to the salvo's result topic; a take the hub would
// replay at every connection is none.
void MqttFace::TakeSalvo(const std::string& salvo, const std::string& payload, bool retained) {
  const std::string what = "mqtt: salvo " + Quoted(salvo) + ": " + Quoted(payload);
  if (payload.empty()) return;
  if (retained) {
    return Dropped("retained",
                   what + " ignored: a retained take would be taken again at every connection");
  }
  if (payload != kTakePayload) return Dropped("not TAKE", what + " dropped: a take is TAKE");
  QPointer<MqttFace> self(this);
  const std::string topic = SalvoResultTopic(config_, salvo);
  if (!core_
           .Take(salvo, Owner::Mqtt(),
                 [self, topic](const TakeResult& answer) {
                   if (self) self->client_->Publish(topic, TakeJson(answer), false);
                 })
           .Ok()) {
    Dropped("no such salvo", what + " ignored: no such salvo");
  }
}

// The newest command for a relay wins: one that still waits for its turn is
// replaced, so that a flood from the hub leaves at most one behind it.
void MqttFace::Send(Command command, const std::string& what) {
  const std::string unit = command.unit;
  const int relay = command.relay;
  const bool name = command.what == Command::What::kName;
  const Result result = core_.Submit(std::move(command), nullptr);
  if (result.ReplacedOne()) {
    return Dropped("replaced", what + " replaces a command of the hub's not yet sent");
  }
  if (result.Ok()) return;
  const Unit& served = *core_.FindUnit(unit);
  const std::string because = DroppedBecause(result, core_, served, relay);
  Dropped(KindOf(because), what + " " + because);
  if (name && result.Why() == Refusal::kName && served.Live()) {
    Publish(RelayTopic(config_, unit, relay, RelayLeaf::kName),
            NameText(served.Status().name[relay - 1]), true);
  }
}

void MqttFace::Dropped(const std::string& kind, const std::string& line) {
  throttle_.Log(kind, "mqtt", line);
}

}  // namespace bridge
