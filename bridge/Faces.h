// The bridge's faces, in one list: what each adds to the configuration file
// (a section of its own, or a key of each [UNIT] that gives the address it
// listens on) and how it is made. The core knows none of them, and none
// knows another: a new face is a folder of its own and a line in this list.
#pragma once

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "config/BridgeConfig.h"
#include "core/Core.h"
#include "core/Face.h"

namespace bridge {

// A face with a section of its own: one for the bridge.
struct SectionFaceKind {
  std::string_view name;     // its log lines' and --check's: "mqtt", "page"
  std::string_view section;  // "MQTT"
  std::shared_ptr<const FaceSettings> (*read)(const SectionView& section, Checker& checker);
  std::unique_ptr<SectionFace> (*make)(const FaceSettings& settings, Core& core, bool verbose);
};

// A face of each unit whose section gives its key.
struct UnitFaceKind {
  UnitFaceKey key;
  std::unique_ptr<UnitFace> (*make)(const UnitConfig& unit, Core& core, bool verbose);
};

using FaceKind = std::variant<SectionFaceKind, UnitFaceKind>;

// Every face, in the order --check describes them.
const std::vector<FaceKind>& AllFaces();

// What the file's reader needs of them.
ConfigFaces ConfigOfFaces();

// The bridge's file, with every face's part of it (BridgeConfig.h).
bool ReadConfig(const std::string& path, BridgeConfig& config, std::string& problem,
                const FileAccess& files = FileAccess::OwnRights());
bool ParseConfig(std::string_view text, const std::string& path, BridgeConfig& config,
                 std::string& problem, const FileAccess& files = FileAccess::OwnRights());

// What --check prints of the file: a line for each unit and each face.
std::string Describe(const BridgeConfig& config);

}  // namespace bridge
