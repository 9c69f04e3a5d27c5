#include "config/UnitConfig.h"

#include <algorithm>

#include "CodePage.h"
#include "UnitProcIP.h"

namespace bridge {
namespace {

constexpr int kLongestIntervalMs = 60000;

bool Refuse(std::string& reason, std::string text) {
  reason = std::move(text);
  return false;
}

// Printable UTF-8 text of 1 to 24 characters, as a person sees it on a
// button and a controller's display.
bool ReadInputLabel(std::string_view value, std::string& label, std::string& problem) {
  std::u32string characters;
  if (!kdt::Utf8Characters(value, characters)) return Refuse(problem, "not UTF-8");
  if (characters.empty()) return Refuse(problem, "empty");
  if (characters.size() > kLongestInputLabel) {
    return Refuse(problem, std::to_string(characters.size()) + " characters, at most " +
                               std::to_string(kLongestInputLabel));
  }
  for (char32_t c : characters) {
    if (kdt::IsControlCharacter(c)) return Refuse(problem, "control characters are not taken");
  }
  label = std::string(value);
  return true;
}

Key<UnitConfig> InputLabelKey(std::string_view key, int input) {
  return {key,
          [key, input](std::string_view value, UnitConfig& unit, KeyLine, std::string& reason) {
            std::string problem;
            return ReadInputLabel(value, unit.inputLabels[std::size_t(input - 1)], problem) ||
                   Refuse(reason, std::string(key) + ": a label of up to " +
                                      std::to_string(kLongestInputLabel) +
                                      " printable characters: " + problem);
          }};
}

bool ReadRouterRole(std::string_view value, RouterRole& role) {
  for (RouterRole candidate : {RouterRole::kView, RouterRole::kOperate, RouterRole::kAdmin}) {
    if (SameName(value, RouterRoleText(candidate))) {
      role = candidate;
      return true;
    }
  }
  return false;
}

Key<UnitConfig> FaceKey(const UnitFaceKey& face) {
  return {face.key, [face](std::string_view value, UnitConfig& unit, KeyLine, std::string& reason) {
            Endpoint endpoint;
            if (!ReadEndpoint(value, endpoint, face.defaultPort)) {
              return Refuse(reason, std::string(face.key) + ": an address and a port, such as " +
                                        std::string(face.example) + ", not '" + std::string(value) +
                                        "'");
            }
            unit.faces[std::string(face.key)] = endpoint;
            return true;
          }};
}

KeyTable<UnitConfig> UnitKeys(const std::vector<UnitFaceKey>& faceKeys) {
  KeyTable<UnitConfig> keys = {
      {"ADDR",
       [](std::string_view value, UnitConfig& unit, KeyLine, std::string& reason) {
         return (ReadAddress(value, unit.address) && unit.address != 0) ||
                Refuse(reason, "ADDR: not a unit's IPv4 address: '" + std::string(value) + "'");
       },
       true},
      {"PORT",
       [](std::string_view value, UnitConfig& unit, KeyLine, std::string& reason) {
         return ReadNumber(value, 1, kHighestPort, unit.port) ||
                Refuse(reason, "PORT: a port from 1 to 65535, not '" + std::string(value) + "'");
       }},
      {"INTERVAL",
       [](std::string_view value, UnitConfig& unit, KeyLine, std::string& reason) {
         int number = 0;
         if (!ReadNumber(value, 0, kLongestIntervalMs, number)) {
           return Refuse(
               reason, "INTERVAL: milliseconds from 0 to 60000, not '" + std::string(value) + "'");
         }
         unit.intervalMs = std::uint32_t(number);
         return true;
       }},
  };
  for (const UnitFaceKey& face : faceKeys) keys.push_back(FaceKey(face));
  keys.push_back(InputLabelKey("INPUT1", 1));
  keys.push_back(InputLabelKey("INPUT2", 2));
  keys.push_back(
      {"TAKE", [](std::string_view value, UnitConfig& unit, KeyLine, std::string& reason) {
         if (SameName(value, "direct") || SameName(value, "confirm")) {
           unit.take = SameName(value, "confirm") ? TakeMode::kConfirm : TakeMode::kDirect;
           return true;
         }
         return Refuse(reason, "TAKE: direct or confirm, not '" + std::string(value) + "'");
       }});
  keys.push_back(
      {"ROUTER_ROLE", [](std::string_view value, UnitConfig& unit, KeyLine, std::string& reason) {
         return ReadRouterRole(value, unit.routerRole) ||
                Refuse(reason,
                       "ROUTER_ROLE: view, operate or admin, not '" + std::string(value) + "'");
       }});
  keys.push_back(
      {"ALLOW", [](std::string_view value, UnitConfig& unit, KeyLine, std::string& reason) {
         return ReadCidrList(value, unit.allow, reason);
       }});
  keys.push_back(
      {"MAXCLIENTS", [](std::string_view value, UnitConfig& unit, KeyLine, std::string& reason) {
         return ReadNumber(value, 1, kMostClients, unit.maxClients) ||
                Refuse(reason, "MAXCLIENTS: from 1 to 1024, not '" + std::string(value) + "'");
       }});
  return keys;
}

bool CheckId(const UnitConfig& unit, int line, Checker& checker) {
  if (unit.id.empty()) return checker.Fail(line, "[UNIT] needs an id: [UNIT name]");
  if (unit.id.size() > kLongestId) {
    return checker.Fail(line, "a unit's id is at most " + std::to_string(kLongestId) +
                                  " characters, not " + std::to_string(unit.id.size()));
  }
  if (!IsId(unit.id)) {
    return checker.Fail(line, "a unit's id is letters, digits, '-' and '_', not '" + unit.id + "'");
  }
  for (std::string_view taken : kReservedIds) {
    if (SameName(unit.id, taken)) {
      return checker.Fail(line, "'" + std::string(taken) +
                                    "' names the bridge's own in MQTT topics: give the unit "
                                    "another id");
    }
  }
  return true;
}

// Who may connect, and how many, is said of the faces: a unit without one
// shares nothing that they could narrow.
bool CheckShared(const SectionView& section, const std::vector<UnitFaceKey>& faceKeys,
                 const UnitConfig& unit, Checker& checker) {
  if (!unit.faces.empty()) return true;
  std::string faces;
  for (std::size_t i = 0; i < faceKeys.size(); ++i) {
    const char* before = i == 0 ? "" : i + 1 == faceKeys.size() ? " or " : ", ";
    faces += before + std::string(faceKeys[i].key);
  }
  for (const kdt::IniContent::Entry& entry : section.entries) {
    if (SameName(entry.name, "ALLOW") || SameName(entry.name, "MAXCLIENTS")) {
      return checker.Fail(entry.line, std::string(entry.name) + " without " + faces +
                                          ": the unit is shared with nobody");
    }
  }
  return true;
}

}  // namespace

std::string_view RouterRoleText(RouterRole role) {
  switch (role) {
    case RouterRole::kView:
      return "view";
    case RouterRole::kAdmin:
      return "admin";
    case RouterRole::kOperate:
      break;
  }
  return "operate";
}

std::optional<Endpoint> UnitConfig::FaceAddress(std::string_view key) const {
  const auto found = faces.find(std::string(key));
  return found == faces.end() ? std::nullopt : std::optional(found->second);
}

bool UnitConfig::operator==(const UnitConfig& other) const {
  return SameSession(other) && faces == other.faces && allow == other.allow &&
         maxClients == other.maxClients && inputLabels == other.inputLabels &&
         routerRole == other.routerRole && take == other.take;
}

bool UnitConfig::SameSession(const UnitConfig& other) const {
  return id == other.id && address == other.address && port == other.port &&
         intervalMs == other.intervalMs;
}

bool ReadUnit(const SectionView& section, const std::vector<UnitFaceKey>& faceKeys,
              Checker& checker, UnitConfig& unit) {
  unit.line = section.line;
  unit.allow = {kLoopback};
  IsSectionOfKind(section.name, "UNIT", unit.id);
  return CheckId(unit, section.line, checker) &&
         ReadSection(section, UnitKeys(faceKeys), "unit " + unit.id, unit, checker) &&
         CheckShared(section, faceKeys, unit, checker);
}

std::string ChangesText(const UnitConfig& before, const UnitConfig& after) {
  struct Change {
    std::string name, before, after;
  };
  std::vector<Change> changes = {
      {"ADDR", kdt::IPToStr(before.address), kdt::IPToStr(after.address)},
      {"PORT", std::to_string(before.port), std::to_string(after.port)},
      {"INTERVAL", std::to_string(before.intervalMs), std::to_string(after.intervalMs)},
  };
  std::map<std::string, Change> faces;
  for (const auto& [key, endpoint] : before.faces)
    faces[key] = {key, EndpointText(endpoint), "none"};
  for (const auto& [key, endpoint] : after.faces) {
    if (faces.count(key) == 0) faces[key] = {key, "none", ""};
    faces[key].after = EndpointText(endpoint);
  }
  for (auto& [key, change] : faces) changes.push_back(std::move(change));
  changes.push_back({"ALLOW", CidrListText(before.allow, ","), CidrListText(after.allow, ",")});
  changes.push_back(
      {"MAXCLIENTS", std::to_string(before.maxClients), std::to_string(after.maxClients)});
  for (std::size_t i = 0; i < before.inputLabels.size(); ++i) {
    changes.push_back({"INPUT" + std::to_string(i + 1), "'" + before.inputLabels[i] + "'",
                       "'" + after.inputLabels[i] + "'"});
  }
  changes.push_back({"ROUTER_ROLE", std::string(RouterRoleText(before.routerRole)),
                     std::string(RouterRoleText(after.routerRole))});
  const auto takeText = [](TakeMode mode) {
    return std::string(mode == TakeMode::kConfirm ? "confirm" : "direct");
  };
  changes.push_back({"TAKE", takeText(before.take), takeText(after.take)});
  std::string text;
  for (const Change& change : changes) {
    if (change.before == change.after) continue;
    text += (text.empty() ? "" : ", ") + change.name + " " + change.before + " -> " + change.after;
  }
  return text;
}

std::string Describe(const UnitConfig& unit, const std::vector<UnitFaceKey>& faceKeys) {
  std::string text = unit.id + ": " + EndpointText({unit.address, unit.port}) + ", every " +
                     std::to_string(unit.intervalMs) + " ms";
  std::string served;
  for (const UnitFaceKey& face : faceKeys) {
    if (const auto address = unit.FaceAddress(face.key)) {
      served +=
          (served.empty() ? "" : ", ") + std::string(face.serves) + " " + EndpointText(*address);
    }
  }
  if (served.empty()) return text + "; not shared";
  return text + "; " + served + " for " + CidrListText(unit.allow) + ", at most " +
         std::to_string(unit.maxClients) + " clients";
}

}  // namespace bridge
