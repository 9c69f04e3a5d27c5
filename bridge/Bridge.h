// The bridge as a whole, and the one place where its parts meet: the core
// (Core.h) and the faces of the list (Faces.h), made from the configuration
// and kept until the program ends. A new configuration (SIGHUP) is applied
// unit by unit and face by face: units added are started, removed ones said
// goodbye to (and forgotten by the faces), changed ones restarted, and
// unchanged ones keep their session and their clients; a face whose part of
// the file changed takes it as it runs, or is made anew, and one whose part
// went goes with its farewell.
#pragma once

#include <QObject>
#include <map>
#include <memory>
#include <string>

#include "Faces.h"
#include "config/BridgeConfig.h"
#include "core/Core.h"

namespace bridge {

class Bridge : public QObject {
 public:
  Bridge(std::string configPath, bool verbose);
  ~Bridge() override;  // every unit says goodbye

  void Apply(const BridgeConfig& config);
  // Reads the file again and applies it; a file that is now faulty is
  // refused with its line, and the running units go on.
  void Reload();
  // The faces end with their farewells, then every unit says goodbye.
  void StopAll();

 private:
  void ApplyUnits(const BridgeConfig& config);
  void ApplySectionFaces(const BridgeConfig& config);
  // The unit's faces as its section asks for them now.
  void ApplyUnitFaces(const UnitConfig& unit);
  void DropUnitFaces(const std::string& id);

  const std::string configPath_;
  const bool verbose_;
  Core core_;
  std::map<std::string, std::unique_ptr<SectionFace>> sectionFaces_;  // by section
  struct HeldFace {
    Endpoint at;  // where it listens
    std::unique_ptr<UnitFace> face;
  };
  // By unit, then by the key that asks for the face.
  std::map<std::string, std::map<std::string, HeldFace>> unitFaces_;
};

}  // namespace bridge
