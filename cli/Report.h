// What kdt212ctl prints: the status as a table for people or as JSON for
// programs, and the lines of watch. Names are decoded from the unit's code
// page; on a terminal, control characters in them are shown escaped.
#pragma once

#include <string>
#include <string_view>

#include "UnitFrames.h"

namespace cli {

// Colour only for a terminal that wants it (not NO_COLOR, not TERM=dumb).
bool ColourWanted();

std::string StatusTable(const kdt::UnitStatus& status, const std::string& unit, bool colour);

// Lines of watch, each with its time and ending in a newline.
std::string ConnectedLine(const kdt::UnitStatus& status, const std::string& unit, bool json);
std::string DisconnectedLine(const std::string& reason, bool json);
std::string ModelLine(const kdt::UnitStatus& status, bool json);
std::string RelayLine(const kdt::UnitStatus& status, int relay, bool json);

}  // namespace cli
