// A face of the bridge: what serves its units to the world in one way (the
// unit's own protocol on an endpoint, MQTT, the page). A face hears from the
// core what it shows, each change once with its cause in the record, and
// sends its commands back through the core's one door (Core.h). Faces know
// the core, never each other. Which faces there are is the list in the
// composition root (Faces.h), which makes them from the file.
#pragma once

#include <string>
#include <vector>

#include "config/BridgeConfig.h"
#include "core/Record.h"

namespace bridge {

class Unit;

class Face {
 public:
  virtual ~Face() = default;
  // The units served now, in the file's order: at the start and after a
  // reload.
  virtual void UnitsChanged(const std::vector<Unit*>& units) { (void)units; }
  // A unit taken out of the configuration; it is not among them any more.
  virtual void UnitRemoved(const std::string& id) { (void)id; }
  // A unit's connection or status changed, or what the bridge adds to it
  // (a protect).
  virtual void UnitChanged(const Unit& unit) { (void)unit; }
  // An entry of the record of who switched what, numbered.
  virtual void Recorded(const RecordEntry& entry) { (void)entry; }
  // A reload changed the salvos.
  virtual void SalvosChanged() {}
};

// A face of one unit, asked for by a key of the unit's section that gives
// its address (LISTEN): made for the unit, and gone before it.
class UnitFace : public Face {
 public:
  // The unit's section anew, the face's address the same: who may connect
  // and how many.
  virtual void Reconfigure(const UnitConfig& unit) = 0;
};

// A face with a section of its own ([MQTT], [HTTP]).
class SectionFace : public Face {
 public:
  // Its section anew: false when the face must be made anew for it, true
  // when it took it as it runs (or nothing changed).
  virtual bool Reconfigure(const FaceSettings& settings) = 0;
};

}  // namespace bridge
