// The bridge's configuration file, read whole and checked before anything
// starts: the units ([UNIT id], UnitConfig.h), the salvos ([SALVO id],
// SalvoConfig.h), where the bridge keeps its state ([BRIDGE] STATE=), and
// what the faces add: a section of their own ([MQTT], [HTTP]) or a key of
// each unit's (LISTEN). Which faces there are is not known here: the one
// list of them hands their readers in (ConfigFaces). An unknown section or
// key, a key given twice, a duplicate id, two faces on one address, a value
// out of range, each is refused with the file and line. Free of Qt.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/FileAccess.h"
#include "config/SalvoConfig.h"
#include "config/Section.h"
#include "config/UnitConfig.h"

namespace bridge {

// What a face reads from a section of its own. Each face's settings derive
// from it.
class FaceSettings {
 public:
  virtual ~FaceSettings() = default;
  // What --check prints of it: one line.
  virtual std::string Describe() const = 0;
  // The descriptors that serving it may take at once.
  virtual int Descriptors() const = 0;
  // Where it listens, by its key, which no other face may take too.
  struct Listening {
    std::string key;
    Endpoint at;
  };
  virtual std::optional<Listening> Listens() const { return std::nullopt; }

  int line = 0;  // of its section
};

// How the faces' parts of the file are read: their sections, each by its
// reader (nullptr with the fault in the checker), and their keys of [UNIT].
struct FaceSection {
  std::string_view name;  // "MQTT"
  std::function<std::shared_ptr<const FaceSettings>(const SectionView&, Checker&)> read;
};
struct ConfigFaces {
  std::vector<FaceSection> sections;
  std::vector<UnitFaceKey> unitKeys;
};

struct BridgeConfig {
  std::vector<UnitConfig> units;
  std::vector<SalvoConfig> salvos;
  // Each face's section that the file has, by the section's name.
  std::map<std::string, std::shared_ptr<const FaceSettings>> faces;
  // Where the protects are kept ([BRIDGE] STATE=, or the service's state
  // directory); empty: not across a restart.
  std::string stateFile;
  // How long the record is kept, and how large it may grow ([BRIDGE]
  // RECORD_DAYS=, RECORD_MIB=), in the folder of the protects.
  int recordDays = 90;
  int recordMiB = 64;
  // Sound, but worth a word, as "FILE:LINE: what": a password file that
  // every user may read.
  std::vector<std::string> warnings;

  // The settings of the face with section `name`; nullptr when the file has
  // none.
  template <typename Settings>
  const Settings* Face(std::string_view name) const {
    const auto found = faces.find(std::string(name));
    return found == faces.end() ? nullptr : dynamic_cast<const Settings*>(found->second.get());
  }
};

// False with "FILE:LINE: reason", or "FILE: reason" when it cannot be read.
// The files that it names are judged by `files`.
bool ReadBridgeConfig(const std::string& path, const ConfigFaces& faces, BridgeConfig& config,
                      std::string& problem, const FileAccess& files = FileAccess::OwnRights());
bool ParseBridgeConfig(std::string_view text, const std::string& path, const ConfigFaces& faces,
                       BridgeConfig& config, std::string& problem,
                       const FileAccess& files = FileAccess::OwnRights());

// The descriptors that serving the configuration may take at once: every
// unit's session, its faces' listeners and their clients, each section
// face's, and what the program holds besides.
int DescriptorsNeeded(const BridgeConfig& config);
// The service's LimitNOFILE= (kdt212-bridge.service says the same).
constexpr int kServiceDescriptorLimit = 65536;

}  // namespace bridge
