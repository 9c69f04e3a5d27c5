// A unit's status as JSON, the one shape that kdt212ctl prints and the
// bridge publishes: the unit, whether it is connected (and why not), its
// model and header byte, and each relay from left to right (RELAY A, B, C)
// with its letter, number, input, lock, state byte, name (decoded from the
// unit's code page) and the name's bytes in hexadecimal. Free of Qt.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "UnitFrames.h"

namespace kdt {

// A JSON string: quotes, backslashes and control characters escaped.
std::string JsonText(std::string_view utf8);

// One relay's fields, without the braces.
std::string RelayJsonFields(const UnitStatus& status, int relay);

// What a caller adds to each relay's object: members with their leading
// comma (",\"protected\":null"), or nothing.
using RelayJsonMore = std::function<std::string(int relay)>;

// The status of a connected unit.
std::string StatusJson(const UnitStatus& status, const std::string& unit,
                       const RelayJsonMore& more = {});
// A unit that is not connected: `reason` says why; no model, no relays.
std::string NotConnectedJson(const std::string& unit, const std::string& reason);

}  // namespace kdt
