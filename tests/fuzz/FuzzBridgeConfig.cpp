// The bridge's file, as an administrator may write it, with every face's
// part of it: read without a crash, and what it takes is sound (ids, ports,
// ranges, the faces' addresses apart), or it names a line of the file.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Faces.h"
#include "mqtt/MqttSection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  bridge::BridgeConfig config;
  std::string problem;
  if (!bridge::ParseConfig(text, "bridge.ini", config, problem)) {
    if (!problem.starts_with("bridge.ini:")) std::abort();
    return 0;
  }
  for (std::size_t i = 0; i < config.units.size(); ++i) {
    const bridge::UnitConfig& unit = config.units[i];
    if (!bridge::IsId(unit.id) || unit.address == 0 || unit.port < 1 || unit.port > 65535 ||
        unit.intervalMs > 60000 || unit.maxClients < 1 || unit.maxClients > 1024 ||
        unit.allow.empty()) {
      std::abort();
    }
    for (std::size_t j = 0; j <= i; ++j) {
      for (const auto& [key, at] : unit.faces) {
        for (const auto& [otherKey, otherAt] : config.units[j].faces) {
          if ((j != i || key != otherKey) && at == otherAt) std::abort();
        }
      }
    }
  }
  const auto* mqtt = config.Face<bridge::MqttConfig>("MQTT");
  if (mqtt != nullptr && (mqtt->clientId.empty() || mqtt->topic.empty())) std::abort();
  // --check says a line of each unit and each face.
  const std::string described = bridge::Describe(config);
  if (std::count(described.begin(), described.end(), '\n') !=
      std::ptrdiff_t(config.units.size() + config.faces.size())) {
    std::abort();
  }
  return 0;
}
