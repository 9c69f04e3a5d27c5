// The seven values that the main window keeps in its settings file.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "Relays.h"

namespace kdt {

constexpr const char* kDefaultAddress = "192.168.0.200";
constexpr int kDefaultWindowLeft = 100;
constexpr int kDefaultWindowTop = 100;

struct PanelSettings {
  std::int32_t left = kDefaultWindowLeft;
  std::int32_t top = kDefaultWindowTop;
  std::uint32_t address = 0;  // an IPv4 address value, first octet lowest
  bool autoConnect = false;
  std::array<bool, kRelayCount> sync{};  // index 0 is relay 1
};

// Reads the file; keys that are missing or malformed take their defaults.
bool LoadPanelSettings(const std::string& path, PanelSettings& settings, std::string& error);
// Reads the file again and writes it back with the seven values, so that
// whatever else it holds survives.
bool SavePanelSettings(const std::string& path, const PanelSettings& settings, std::string& error);

}  // namespace kdt
