// Which unit a run talks to: --address, else $KDT212_ADDRESS, else the
// address in the console's settings file, found beside an installed or built
// kdt212-panel as the console itself would find it. Never the factory address
// by default: a settings file that holds only the factory address, which the
// console writes until the operator sets one, counts as none, and with none
// given anywhere the run is refused.
#pragma once

#include <string>

namespace cli {

constexpr const char* kAddressVariable = "KDT212_ADDRESS";

struct UnitAddress {
  std::string address;  // plain dotted decimal
  std::string from;     // where it was found, for messages
};

// `given` is --address (empty when not given); `self` is this program's own
// path. False with a one-line reason when no valid address is found.
bool FindUnitAddress(const std::string& given, const std::string& self, UnitAddress& unit,
                     std::string& problem);

}  // namespace cli
