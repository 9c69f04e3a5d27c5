// The core's values in the JSON that the faces answer with, one shape for
// all of them: a unit as the page's interface gives it, and a take's answer,
// which the page's interface and MQTT both give. Free of Qt.
#pragma once

#include <string>

#include "core/Core.h"

namespace bridge {

// The labels of the unit's sources (INPUT1=, INPUT2=): ["Camera 1","INPUT 2"].
std::string InputsJson(const UnitConfig& unit);

// kdt212ctl's JSON of the unit, with its "id", its sources' "inputs" and
// how the page takes ("take": "direct" or "confirm") first, "since" it is connected (or, while it is down, what it "last"
// showed, its relays, "asOf" when it was lost), and, for each relay,
// who protects it: "protected":null, or {"by":"web alice","who":"alice",
// "since":"…"}.
std::string UnitJson(const Core& core, const Unit& unit);

// {"salvo":…,"result":"done"|"refused"|"undone"|"partial","relays":[{"unit",
// "relay","from","to","now","outcome"}]}; an input that is neither 1 nor 2,
// or not known, is null.
std::string TakeJson(const TakeResult& answer);

}  // namespace bridge
