// A unit's status as JSON, the one shape that kdt212ctl prints and the
// bridge publishes: the unit, whether it is connected (and why not), its
// model and header byte, and each relay from left to right (RELAY A, B, C)
// with its letter, number, input, lock, state byte, name (decoded from the
// unit's code page) and the name's bytes in hexadecimal. Free of Qt.
#pragma once

#include <functional>
#include <string>

#include "Json.h"
#include "UnitFrames.h"

namespace kdt {

// One relay's members.
JsonObject RelayJson(const UnitStatus& status, int relay);

// What a caller adds to each relay's object (the bridge: who protects it).
using RelayJsonMore = std::function<void(int relay, JsonObject& object)>;

// The status of a connected unit; `first`: members of the caller's before
// the unit's own (the bridge's "id").
std::string StatusJson(const UnitStatus& status, const std::string& unit,
                       const RelayJsonMore& more = {}, const JsonObject& first = {});
// A unit that is not connected: `reason` says why; no model, no relays.
std::string NotConnectedJson(const std::string& unit, const std::string& reason,
                             const JsonObject& first = {});

}  // namespace kdt
