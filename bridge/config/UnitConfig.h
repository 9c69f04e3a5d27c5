// A unit of the bridge's file ([UNIT id]): where the unit is and how often
// its session asks it (the session's own keys), who may connect to the
// faces that serve it and how many at once, and where each face of the unit
// listens: a key that the face adds to the section (LISTEN for the unit's
// shared endpoint), known to this reader only as an address. Free of Qt.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "UnitFrames.h"
#include "config/Section.h"
#include "config/Values.h"

namespace bridge {

constexpr int kDefaultMaxClients = 16;
constexpr int kMostClients = 1024;
// A bridge answers its clients from what it holds: its own pace sets only
// how soon a change is seen, and 10 ms is within a blink.
constexpr std::uint32_t kDefaultIntervalMs = 10;

// A key of [UNIT id] by which a face of each unit is asked for, giving the
// address it listens on.
struct UnitFaceKey {
  std::string_view key;            // "LISTEN"
  std::optional<int> defaultPort;  // when the value gives none
  std::string_view example;        // a value, for the message that refuses one
  std::string_view serves;         // what --check says of it: "shared on"
};

// What a client of a router face (VIDEOHUB, SWP08) may do: look, route and
// rename and protect, or force another's protect off too.
enum class RouterRole { kView, kOperate, kAdmin };
std::string_view RouterRoleText(RouterRole role);

// What people call the unit's two inputs (INPUT1=, INPUT2=): the labels of
// its sources on every face.
constexpr std::size_t kLongestInputLabel = 24;
using InputLabels = std::array<std::string, 2>;
inline const InputLabels kDefaultInputLabels = {"INPUT 1", "INPUT 2"};

// How a tap on a source takes on the page: at once, or preselected and
// then taken (TAKE=confirm), as router panels do for what is on air.
enum class TakeMode { kDirect, kConfirm };

struct UnitConfig {
  std::string id;  // IsId, and none of the bridge's own (kReservedIds)
  std::uint32_t address = 0;
  int port = kdt::kUnitPort;
  std::uint32_t intervalMs = kDefaultIntervalMs;
  std::vector<Cidr> allow;  // who may connect to its faces; loopback unless given
  int maxClients = kDefaultMaxClients;
  InputLabels inputLabels = kDefaultInputLabels;  // UTF-8
  RouterRole routerRole = RouterRole::kOperate;
  TakeMode take = TakeMode::kDirect;
  // Where each of its faces listens, by the key that asks for it.
  std::map<std::string, Endpoint> faces;
  int line = 0;  // of the unit's section, for messages

  // The face's address; none when the file does not ask for the face.
  std::optional<Endpoint> FaceAddress(std::string_view key) const;
  // The label of input 1 or 2.
  const std::string& InputLabel(int input) const { return inputLabels[std::size_t(input - 1)]; }
  // The same unit served the same way; the line does not count.
  bool operator==(const UnitConfig& other) const;
  // The same session: address, port and interval. What else differs is the
  // faces', which change without a new session.
  bool SameSession(const UnitConfig& other) const;
};

// The ids that name the bridge itself and its salvos in MQTT topics, which
// no unit may take.
inline constexpr std::string_view kBridgeId = "bridge";
inline constexpr std::string_view kSalvoId = "salvo";
inline constexpr std::string_view kReservedIds[] = {kBridgeId, kSalvoId};

// "[UNIT studio]"; false with the fault in the checker.
bool ReadUnit(const SectionView& section, const std::vector<UnitFaceKey>& faceKeys,
              Checker& checker, UnitConfig& unit);

// What differs from `before` to `after`, for a log line:
// "INTERVAL 1 -> 10, ALLOW 127.0.0.0/8 -> 10.0.0.0/8"; empty when nothing.
std::string ChangesText(const UnitConfig& before, const UnitConfig& after);

// What --check prints of a unit: one line.
std::string Describe(const UnitConfig& unit, const std::vector<UnitFaceKey>& faceKeys);

}  // namespace bridge
