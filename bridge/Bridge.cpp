#include "Bridge.h"

#include "Log.h"

namespace bridge {

Bridge::Bridge(std::string configPath, bool verbose)
    : configPath_(std::move(configPath)), verbose_(verbose) {}

Bridge::~Bridge() {
  StopAll();
}

void Bridge::Apply(const BridgeConfig& config) {
  std::map<std::string, const UnitConfig*> wanted;
  for (const UnitConfig& unit : config.units) wanted[unit.id] = &unit;
  for (auto it = units_.begin(); it != units_.end();) {
    const auto found = wanted.find(it->first);
    if (found != wanted.end() && *found->second == it->second->Config()) {
      ++it;
      continue;
    }
    Log(it->first + (found == wanted.end() ? ": removed" : ": changed; starting again"));
    it = units_.erase(it);  // the session says goodbye
  }
  for (const auto& [id, unit] : wanted) {
    if (units_.count(id) == 0) units_[id] = std::make_unique<SharedUnit>(*unit, verbose_);
  }
  if (units_.empty()) Log("no units in " + configPath_ + ": connecting nowhere until one is named");
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
  units_.clear();
}

}  // namespace bridge
