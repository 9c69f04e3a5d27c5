#include "Bridge.h"

#include <cstdlib>
#include <cstring>

#include "Platform.h"
#include "TextFile.h"
#include "core/Log.h"

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
  // What else outlasts a restart is kept beside the protects.
  const std::string protects = ProtectsFile(config);
  core_.SetStateFolder(protects.empty() ? "" : kdt::FolderOf(protects));
  core_.KeepProtectsIn(protects);
  core_.KeepRecordIn(protects.empty() ? "" : core_.StateFolder() + "/record.log",
                     {config.recordDays, std::uint64_t(config.recordMiB) << 20});
  ApplyUnits(config);
  core_.SetSalvos(config.salvos);
  ApplySectionFaces(config);
  std::vector<std::string> order;
  for (const UnitConfig& unit : config.units) order.push_back(unit.id);
  core_.SetOrder(order);
  if (config.units.empty()) {
    Log("no units in " + configPath_ + ": connecting nowhere until one is named");
  }
}

// A unit keeps its session unless its address, port or interval changed;
// what else changed is its faces', which take it as they go.
void Bridge::ApplyUnits(const BridgeConfig& config) {
  std::map<std::string, const UnitConfig*> wanted;
  for (const UnitConfig& unit : config.units) wanted[unit.id] = &unit;
  for (Unit* unit : std::vector<Unit*>(core_.UnitsInOrder())) {
    const std::string id = unit->Id();
    const auto found = wanted.find(id);
    if (found == wanted.end()) {
      Log(id + ": removed");
      DropUnitFaces(id);
      core_.RemoveUnit(id, true);
      continue;
    }
    const UnitConfig& now = *found->second;
    const std::string changes = ChangesText(unit->Config(), now);
    if (changes.empty()) continue;
    if (unit->Config().SameSession(now)) {
      Log(id + ": " + changes + "; its session goes on");
      core_.ReconfigureUnit(now);
      ApplyUnitFaces(now);
    } else {
      Log(id + ": " + changes + "; starting again");
      DropUnitFaces(id);
      core_.RemoveUnit(id, false);
    }
  }
  for (const UnitConfig& unit : config.units) {
    if (core_.FindUnit(unit.id) != nullptr) continue;
    core_.AddUnit(unit);
    ApplyUnitFaces(unit);
  }
}

// A face whose address changed starts anew (its clients go with the old
// one); the others take who may connect, and how many, as they run.
void Bridge::ApplyUnitFaces(const UnitConfig& unit) {
  auto& faces = unitFaces_[unit.id];
  for (const FaceKind& kind : AllFaces()) {
    const auto* unitKind = std::get_if<UnitFaceKind>(&kind);
    if (unitKind == nullptr) continue;
    const std::string key(unitKind->key.key);
    const std::optional<Endpoint> address = unit.FaceAddress(key);
    const auto had = faces.find(key);
    if (had != faces.end() && address == had->second.at) {
      had->second.face->Reconfigure(unit);
      continue;
    }
    if (had != faces.end()) {
      core_.Detach(*had->second.face);
      faces.erase(had);
    }
    if (!address) continue;
    std::unique_ptr<UnitFace> face = unitKind->make(unit, core_, verbose_);
    core_.Attach(*face);
    faces[key] = {*address, std::move(face)};
  }
}

void Bridge::DropUnitFaces(const std::string& id) {
  const auto found = unitFaces_.find(id);
  if (found == unitFaces_.end()) return;
  for (auto& [key, held] : found->second) core_.Detach(*held.face);
  unitFaces_.erase(found);
}

// A face whose section changed takes it as it runs when it can, or is made
// anew; one whose section went goes with its farewell.
void Bridge::ApplySectionFaces(const BridgeConfig& config) {
  for (const FaceKind& kind : AllFaces()) {
    const auto* sectionKind = std::get_if<SectionFaceKind>(&kind);
    if (sectionKind == nullptr) continue;
    const std::string section(sectionKind->section);
    const auto settings = config.faces.find(section);
    const bool given = settings != config.faces.end();
    std::unique_ptr<SectionFace>& face = sectionFaces_[section];
    if (face && given && face->Reconfigure(*settings->second)) continue;
    if (face) {
      Log(std::string(sectionKind->name) + ": " + (given ? "changed" : "no longer configured"));
      core_.Detach(*face);
      face.reset();  // its farewell
    }
    if (!given) continue;
    face = sectionKind->make(*settings->second, core_, verbose_);
    core_.Attach(*face);
  }
}

void Bridge::Reload() {
  BridgeConfig config;
  std::string problem;
  if (!ReadConfig(configPath_, config, problem)) {
    Log("not reloaded: " + problem + "; the running units go on");
    return;
  }
  Log("reloading " + configPath_);
  Apply(config);
}

void Bridge::StopAll() {
  for (auto& [section, face] : sectionFaces_) {
    if (!face) continue;
    core_.Detach(*face);
    face.reset();
  }
  while (!unitFaces_.empty()) DropUnitFaces(unitFaces_.begin()->first);
  for (Unit* unit : std::vector<Unit*>(core_.UnitsInOrder())) core_.RemoveUnit(unit->Id(), false);
}

}  // namespace bridge
