// The simulated unit's front panel: command lines typed on its console or
// given in its --script, and the number rule its command line shares.
#pragma once

#include <string>
#include <string_view>

#include "SimUnit.h"

namespace sim {

// Runs one front-panel command line ("input 1 2", "name B Studio", "lock A on",
// "state 1 0x43", "model 211", "fault silent 5", "delay 50", "status"):
// false with a message for a line it cannot read; `reply` gets what to print.
bool RunPanelCommand(SimUnit& unit, std::string_view line, std::string& reply);
const char* PanelHelp();

// A whole number in decimal, or in hexadecimal behind "0x"; nothing else.
bool ParseNumber(std::string_view text, int& value);

}  // namespace sim
