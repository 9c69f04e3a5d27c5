#include "config/BridgeConfig.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "IniFile.h"
#include "Platform.h"
#include "TextFile.h"
#include "config/IniDialect.h"

namespace bridge {
namespace {

constexpr int kMostRecordDays = 3650;
constexpr int kMostRecordMiB = 4096;

// Standard streams, the signal pipe, the event loop's own.
constexpr int kProgramsOwnDescriptors = 64;

const KeyTable<BridgeConfig> kBridgeKeys = {
    {"STATE",
     [](std::string_view value, BridgeConfig& config, KeyLine, std::string& reason) {
       config.stateFile = std::string(value);
       const std::string folder = kdt::FolderOf(config.stateFile);
       if (!config.stateFile.empty() && access(folder.c_str(), W_OK) == 0) return true;
       reason = "STATE: a file in a folder that may be written, not '" + config.stateFile + "'";
       return false;
     }},
    {"RECORD_DAYS",
     [](std::string_view value, BridgeConfig& config, KeyLine, std::string& reason) {
       if (ReadNumber(value, 1, kMostRecordDays, config.recordDays)) return true;
       reason = "RECORD_DAYS: days from 1 to 3650, not '" + std::string(value) + "'";
       return false;
     }},
    {"RECORD_MIB",
     [](std::string_view value, BridgeConfig& config, KeyLine, std::string& reason) {
       if (ReadNumber(value, 1, kMostRecordMiB, config.recordMiB)) return true;
       reason = "RECORD_MIB: MiB from 1 to 4096, not '" + std::string(value) + "'";
       return false;
     }},
};

bool ReadFaceSection(const SectionView& section, const FaceSection& face, Checker& checker,
                     BridgeConfig& config) {
  const std::string name(face.name);
  if (const auto earlier = config.faces.find(name); earlier != config.faces.end()) {
    return checker.Fail(section.line, "[" + name + "] given twice (first at line " +
                                          std::to_string(earlier->second->line) + ")");
  }
  std::shared_ptr<const FaceSettings> settings = face.read(section, checker);
  if (settings == nullptr) return false;
  config.faces[name] = std::move(settings);
  return true;
}

bool ReadSection(const SectionView& section, const ConfigFaces& faces, Checker& checker,
                 BridgeConfig& config) {
  std::string id;
  if (IsSectionOfKind(section.name, "SALVO", id)) {
    SalvoConfig salvo;
    if (!ReadSalvo(section, checker, salvo)) return false;
    config.salvos.push_back(std::move(salvo));
    return true;
  }
  if (IsSectionOfKind(section.name, "UNIT", id)) {
    UnitConfig unit;
    if (!ReadUnit(section, faces.unitKeys, checker, unit)) return false;
    config.units.push_back(std::move(unit));
    return true;
  }
  if (SameName(section.name, "BRIDGE")) {
    return ReadSection(section, kBridgeKeys, "[BRIDGE]", config, checker);
  }
  for (const FaceSection& face : faces.sections) {
    if (SameName(section.name, face.name)) return ReadFaceSection(section, face, checker, config);
  }
  return checker.Fail(section.line, "unknown section [" + std::string(section.name) + "]");
}

// A salvo names units of the file, and only one salvo takes an id.
bool CheckSalvos(const BridgeConfig& config, Checker& checker) {
  for (std::size_t i = 0; i < config.salvos.size(); ++i) {
    const SalvoConfig& salvo = config.salvos[i];
    for (std::size_t j = 0; j < i; ++j) {
      if (SameName(config.salvos[j].id, salvo.id)) {
        return checker.Fail(salvo.line, "salvo " + salvo.id + " given twice (first at line " +
                                            std::to_string(config.salvos[j].line) + ")");
      }
    }
    for (const SalvoStep& step : salvo.steps) {
      if (std::ranges::none_of(config.units,
                               [&](const UnitConfig& unit) { return unit.id == step.unit; })) {
        return checker.Fail(step.line,
                            "salvo " + salvo.id + ": no unit " + step.unit + " in this file");
      }
    }
  }
  return true;
}

// Where a unit's face listens, unless another face of the file, of this unit
// or an earlier one, listens there already: false with the fault.
bool CheckFaceAddresses(const BridgeConfig& config, std::size_t i, Checker& checker) {
  const UnitConfig& unit = config.units[i];
  for (const auto& [key, at] : unit.faces) {
    for (std::size_t j = 0; j <= i; ++j) {
      const UnitConfig& earlier = config.units[j];
      for (const auto& [otherKey, otherAt] : earlier.faces) {
        if (j == i && otherKey >= key) break;
        if (Overlaps(at, otherAt)) {
          return checker.Fail(
              unit.line, key + " " + EndpointText(at) + " is unit " + earlier.id + "'s already");
        }
      }
    }
  }
  return true;
}

bool CheckAcrossUnits(const BridgeConfig& config, Checker& checker) {
  for (const auto& [name, face] : config.faces) {
    const auto listening = face->Listens();
    for (const UnitConfig& unit : config.units) {
      for (const auto& [key, at] : unit.faces) {
        if (listening && Overlaps(at, listening->at)) {
          return checker.Fail(face->line, listening->key + " " + EndpointText(listening->at) +
                                              " is unit " + unit.id + "'s already");
        }
      }
    }
  }
  for (std::size_t i = 0; i < config.units.size(); ++i) {
    const UnitConfig& unit = config.units[i];
    for (std::size_t j = 0; j < i; ++j) {
      const UnitConfig& earlier = config.units[j];
      if (SameName(unit.id, earlier.id)) {
        return checker.Fail(unit.line, "unit " + unit.id + " given twice (first at line " +
                                           std::to_string(earlier.line) + ")");
      }
    }
    if (!CheckFaceAddresses(config, i, checker)) return false;
    for (std::size_t j = 0; j < i; ++j) {
      const UnitConfig& earlier = config.units[j];
      // A unit takes one connection: two sessions would take turns with it.
      if (unit.address == earlier.address && unit.port == earlier.port) {
        return checker.Fail(unit.line, "unit " + unit.id + ": " +
                                           EndpointText({unit.address, unit.port}) + " is unit " +
                                           earlier.id + " already (first at line " +
                                           std::to_string(earlier.line) + ")");
      }
    }
  }
  return true;
}

}  // namespace

bool ParseBridgeConfig(std::string_view text, const std::string& path, const ConfigFaces& faces,
                       BridgeConfig& config, std::string& problem, const FileAccess& files) {
  config = {};
  Checker checker(path, files, config.warnings);
  const std::string plain = WithoutComments(text);
  std::string stray;
  if (const int line = StrayLine(plain, stray); line != 0) checker.Fail(line, stray);
  const kdt::IniContent content = kdt::IniContent::Parse(plain);
  for (const SectionView& section : content.Sections()) {
    if (checker.Failed() || !ReadSection(section, faces, checker, config)) break;
  }
  if (!checker.Failed()) CheckAcrossUnits(config, checker) && CheckSalvos(config, checker);
  problem = checker.Problem();
  return problem.empty();
}

bool ReadBridgeConfig(const std::string& path, const ConfigFaces& faces, BridgeConfig& config,
                      std::string& problem, const FileAccess& files) {
  std::string text, error;
  if (access(path.c_str(), F_OK) != 0) {
    problem = path + ": " + std::strerror(errno);
    return false;
  }
  if (!kdt::ReadTextFile(path, text, error)) {
    problem = error;
    return false;
  }
  return ParseBridgeConfig(text, path, faces, config, problem, files);
}

int DescriptorsNeeded(const BridgeConfig& config) {
  int needed = kProgramsOwnDescriptors;
  for (const auto& [name, face] : config.faces) needed += face->Descriptors();
  for (const UnitConfig& unit : config.units) {
    needed += 1 + int(unit.faces.size()) * (1 + unit.maxClients);
  }
  return needed;
}

}  // namespace bridge
