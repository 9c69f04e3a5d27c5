#include "Bridge.h"

#include "Log.h"
#include "Platform.h"

namespace bridge {

Bridge::Bridge(std::string configPath, bool verbose)
    : configPath_(std::move(configPath)), verbose_(verbose) {}

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
  if (mqtt_ && !(config.mqtt && mqtt_->Config() == *config.mqtt)) {
    Log("mqtt: " + std::string(config.mqtt ? "changed" : "no longer configured"));
    mqtt_.reset();  // its farewell: every unit offline
  }
  if (mqtt_) mqtt_->SetUnits({});  // while units come and go
  ApplyUnits(config);
  if (config.mqtt && !mqtt_) mqtt_ = std::make_unique<MqttBridge>(*config.mqtt);
  if (mqtt_) {
    std::vector<SharedUnit*> units;
    for (auto& [id, unit] : units_) units.push_back(unit.get());
    mqtt_->SetUnits(std::move(units));
  }
  if (units_.empty()) Log("no units in " + configPath_ + ": connecting nowhere until one is named");
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
      if (mqtt_) mqtt_->UnitRemoved(it->first);
      it = units_.erase(it);  // the session says goodbye
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
  for (const auto& [id, unit] : wanted) {
    if (units_.count(id) != 0) continue;
    auto shared = std::make_unique<SharedUnit>(*unit, verbose_);
    shared->SetObserver([this](const SharedUnit& changed) {
      if (mqtt_) mqtt_->UnitChanged(changed);
    });
    units_[id] = std::move(shared);
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

void Bridge::StopAll() {
  mqtt_.reset();
  units_.clear();
}

}  // namespace bridge
