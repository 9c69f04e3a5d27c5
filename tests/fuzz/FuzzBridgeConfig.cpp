// The bridge's file, as an administrator may write it: read without a
// crash, and what it takes is sound (ids, ports, ranges, LISTEN addresses
// apart), or it names a line of the file.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "BridgeConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  bridge::BridgeConfig config;
  std::string problem;
  if (!bridge::ParseBridgeConfig(text, "bridge.ini", config, problem)) {
    if (!problem.starts_with("bridge.ini:")) std::abort();
    return 0;
  }
  for (std::size_t i = 0; i < config.units.size(); ++i) {
    const bridge::UnitConfig& unit = config.units[i];
    if (unit.id.empty() || unit.id.size() > bridge::kLongestUnitId ||
        !std::all_of(unit.id.begin(), unit.id.end(), bridge::IsIdCharacter) || unit.address == 0 ||
        unit.port < 1 || unit.port > 65535 || unit.intervalMs > 60000 || unit.maxClients < 1 ||
        unit.maxClients > 1024 || unit.allow.empty() || bridge::Describe(unit).empty()) {
      std::abort();
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (unit.listen && config.units[j].listen && *unit.listen == *config.units[j].listen) {
        std::abort();
      }
    }
  }
  if (config.mqtt && (config.mqtt->clientId.empty() || config.mqtt->topic.empty())) std::abort();
  return 0;
}
