#include "Address.h"

#include <cstdlib>
#include <optional>

#include "IniFile.h"
#include "Platform.h"
#include "Settings.h"
#include "SettingsLocation.h"
#include "TextFile.h"
#include "UnitProcIP.h"

namespace cli {
namespace {

constexpr const char* kPanelName = "kdt212-panel";

// The consoles this program may sit beside: installed in the same folder, or
// built in the tree next to its own.
std::optional<std::string> ConsoleSettingsFile(const std::string& self) {
  const std::string folder = kdt::FolderOf(self);
  const std::string name = std::string(kPanelName) + kdt::kExecutableSuffix;
  for (const std::string& panel : {folder + "/" + name, folder + "/../app/" + name}) {
    if (!kdt::MayRun(panel)) continue;
    const std::string file = kdt::ChooseSettingsLocation(panel).path;
    if (kdt::MayRead(file)) return file;
  }
  return std::nullopt;
}

bool Accept(const std::string& text, const std::string& from, UnitAddress& unit,
            std::string& problem) {
  kdt::OctetArray octets;
  if (!kdt::StrToIPBytes(text, octets)) {
    problem = "not an IPv4 address: '" + text + "' (from " + from + ")";
    return false;
  }
  unit = {kdt::IPToStr(kdt::PackOctets(octets)), from};
  return true;
}

}  // namespace

bool FindUnitAddress(const std::string& given, const std::string& self, UnitAddress& unit,
                     std::string& problem) {
  if (!given.empty()) return Accept(given, "--address", unit, problem);
  if (const char* variable = std::getenv(kAddressVariable); variable != nullptr && *variable) {
    return Accept(variable, kAddressVariable, unit, problem);
  }
  if (const std::optional<std::string> file = ConsoleSettingsFile(self)) {
    std::string text, error;
    const std::optional<std::string> address =
        kdt::ReadTextFile(*file, text, error) ? kdt::IniContent::Parse(text).Read("NETWORK", "ADDR")
                                              : std::nullopt;
    if (address && !Accept(*address, *file, unit, problem)) return false;
    // The console writes the factory address until the operator sets one:
    // it says nothing about where the unit is.
    if (address && unit.address == kdt::kDefaultAddress) {
      problem = std::string("no unit address: ") + *file + " holds only the factory address; " +
                "give --address " + kdt::kDefaultAddress + " if that really is the unit";
      return false;
    }
    if (address) return true;
  }
  problem = std::string("no unit address: give --address A, set ") + kAddressVariable +
            ", or set the address in the console (Network, IP address...)";
  return false;
}

}  // namespace cli
