// What serves the bridge's units to the world beside their own endpoints
// (MQTT, the page, salvos): each hears of them through this one seam, from
// the bridge that holds them, as a hub's extensions share one bus.
#pragma once

#include <string>
#include <vector>

#include "LogBook.h"

namespace bridge {

class SharedUnit;
class Protects;
class Salvos;

// What the bridge keeps for every consumer alike: the record of who
// switched what, the protects, the salvos.
struct BridgeServices {
  LogBook& logBook;
  Protects& protects;
  Salvos& salvos;
};

class UnitConsumer {
 public:
  virtual ~UnitConsumer() = default;
  // The units served now, in the file's order; a reload changes them.
  virtual void UnitsChanged(const std::vector<SharedUnit*>& units) = 0;
  // A unit taken out of the configuration; it is not among them any more.
  virtual void UnitRemoved(const std::string& id) { (void)id; }
  // A unit's connection or status changed.
  virtual void UnitChanged(const SharedUnit& unit) = 0;
  // An entry of the record of who switched what, numbered.
  virtual void Recorded(const LogEntry& entry) { (void)entry; }
};

}  // namespace bridge
