#include "Bridge.h"

#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "Platform.h"

namespace bridge {

namespace {

// Where the protects are kept: STATE= of the file, or else the state
// directory that systemd gives the service.
std::string ProtectsFile(const BridgeConfig& config) {
  if (!config.stateFile.empty()) return config.stateFile;
  const char* directories = std::getenv("STATE_DIRECTORY");  // "a:b" for several
  if (directories == nullptr || *directories == '\0') return {};
  const std::string first(directories, std::strcspn(directories, ":"));
  return first + "/protects.json";
}

}  // namespace

Bridge::Bridge(std::string configPath, bool verbose)
    : configPath_(std::move(configPath)), verbose_(verbose) {
  protects_.SetRecorder([this](LogEntry entry) {
    const std::string unit = entry.unit;
    Record(std::move(entry));
    ProtectChanged(unit);
  });
  salvos_.SetRecorder([this](LogEntry entry) { Record(std::move(entry)); });
}

void Bridge::Record(LogEntry entry) {
  const LogEntry& numbered = logBook_.Add(std::move(entry));
  for (UnitConsumer* consumer : Consumers()) consumer->Recorded(numbered);
}

// What a unit's relays show its clients has changed, though nothing at the
// unit has.
void Bridge::ProtectChanged(const std::string& unit) {
  const auto found = units_.find(unit);
  if (found == units_.end()) return;
  for (UnitConsumer* consumer : Consumers()) consumer->UnitChanged(*found->second);
}

Bridge::~Bridge() {
  StopAll();
}

void Bridge::Apply(const BridgeConfig& config) {
  for (const std::string& warning : config.warnings) Log("warning: " + warning);
  if (const long limit = kdt::RaiseOpenFileLimit(); DescriptorsNeeded(config) > limit) {
    Log("warning: the units' clients may take " + std::to_string(DescriptorsNeeded(config)) +
        " descriptors, more than the " + std::to_string(limit) +
        " this process may open: raise LimitNOFILE, or lower MAXCLIENTS");
  }
  protects_.KeepIn(ProtectsFile(config));
  for (UnitConsumer* consumer : Consumers()) consumer->UnitsChanged({});  // while units come and go
  salvos_.Configure(config.salvos);
  ApplyUnits(config);
  ApplyConsumers(config);
  const std::vector<SharedUnit*> units = UnitsInOrder();
  for (UnitConsumer* consumer : Consumers()) consumer->UnitsChanged(units);
  if (units_.empty()) Log("no units in " + configPath_ + ": connecting nowhere until one is named");
}

// A consumer whose section changed starts anew; one whose section went
// goes, with its farewell.
void Bridge::ApplyConsumers(const BridgeConfig& config) {
  if (mqtt_ && !(config.mqtt && mqtt_->Config() == *config.mqtt)) {
    Log("mqtt: " + std::string(config.mqtt ? "changed" : "no longer configured"));
    mqtt_.reset();  // its farewell: every unit offline
  }
  if (config.mqtt && !mqtt_) mqtt_ = std::make_unique<MqttBridge>(*config.mqtt, Services());
  ApplyWeb(config);
}

// The page keeps its listener while LISTEN and TLS stay; the rest of
// [HTTP] (its users above all) applies to it as it runs.
void Bridge::ApplyWeb(const BridgeConfig& config) {
  if (web_ && config.http && web_->Config() == *config.http) return;
  const bool sameListener = web_ && config.http && web_->Config().listen == config.http->listen &&
                            web_->Config().certFile == config.http->certFile &&
                            web_->Config().keyFile == config.http->keyFile;
  if (sameListener) {
    Log("page: [HTTP] changed; its clients stay");
    web_->Reconfigure(*config.http);
    return;
  }
  if (web_) Log("page: " + std::string(config.http ? "changed" : "no longer configured"));
  web_.reset();
  if (config.http) web_ = std::make_unique<WebServer>(*config.http, Services(), verbose_);
}

BridgeServices Bridge::Services() {
  return {logBook_, protects_, salvos_};
}

std::vector<UnitConsumer*> Bridge::Consumers() {
  std::vector<UnitConsumer*> consumers = {&salvos_};
  if (mqtt_) consumers.push_back(mqtt_.get());
  if (web_) consumers.push_back(web_.get());
  return consumers;
}

std::vector<SharedUnit*> Bridge::UnitsInOrder() const {
  std::vector<SharedUnit*> units;
  for (const std::string& id : order_) units.push_back(units_.at(id).get());
  return units;
}

// A unit keeps its session unless its address, port or interval changed;
// what else changed is its endpoint's, which takes it as it goes.
void Bridge::ApplyUnits(const BridgeConfig& config) {
  std::map<std::string, const UnitConfig*> wanted;
  for (const UnitConfig& unit : config.units) wanted[unit.id] = &unit;
  for (auto it = units_.begin(); it != units_.end();) {
    const auto found = wanted.find(it->first);
    if (found == wanted.end()) {
      Log(it->first + ": removed");
      const std::string id = it->first;
      it = units_.erase(it);  // the session says goodbye
      for (UnitConsumer* consumer : Consumers()) consumer->UnitRemoved(id);
      continue;
    }
    const UnitConfig& now = *found->second;
    SharedUnit& unit = *it->second;
    const std::string changes = ChangesText(unit.Config(), now);
    if (changes.empty()) {
      ++it;
    } else if (unit.Config().SameSession(now)) {
      Log(it->first + ": " + changes + "; its session goes on");
      unit.Reconfigure(now);
      ++it;
    } else {
      Log(it->first + ": " + changes + "; starting again");
      it = units_.erase(it);
    }
  }
  order_.clear();
  for (const UnitConfig& unit : config.units) {
    order_.push_back(unit.id);
    if (units_.count(unit.id) != 0) continue;
    auto shared = std::make_unique<SharedUnit>(unit, verbose_);
    shared->SetProtects(&protects_);
    shared->SetObserver([this](const SharedUnit& changed) {
      for (UnitConsumer* consumer : Consumers()) consumer->UnitChanged(changed);
    });
    shared->SetRecorder([this](LogEntry entry) { Record(std::move(entry)); });
    units_[unit.id] = std::move(shared);
  }
}

void Bridge::Reload() {
  BridgeConfig config;
  std::string problem;
  if (!ReadBridgeConfig(configPath_, config, problem)) {
    Log("not reloaded: " + problem + "; the running units go on");
    return;
  }
  Log("reloading " + configPath_);
  Apply(config);
}

// The consumers let go of the units first: a take or a command that waits
// for one ends as its unit goes.
void Bridge::StopAll() {
  web_.reset();
  mqtt_.reset();
  salvos_.UnitsChanged({});
  units_.clear();
}

}  // namespace bridge
