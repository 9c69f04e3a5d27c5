#include "Faces.h"

#include "endpoint/SharedEndpoint.h"
#include "mqtt/MqttFace.h"
#include "swp08/Swp08Face.h"
#include "videohub/VideohubFace.h"
#include "web/WebFace.h"

namespace bridge {
namespace {

template <typename Face>
std::unique_ptr<UnitFace> MakeUnitFace(const UnitConfig& unit, Core& core, bool verbose) {
  return std::make_unique<Face>(unit, core, verbose);
}

template <typename Face, typename Settings>
std::unique_ptr<SectionFace> MakeSectionFace(const FaceSettings& settings, Core& core, bool) {
  return std::make_unique<Face>(dynamic_cast<const Settings&>(settings), core);
}

}  // namespace

const std::vector<FaceKind>& AllFaces() {
  static const std::vector<FaceKind> faces = {
      UnitFaceKind{{kListenKey, std::nullopt, "127.0.0.1:10001", "shared on"},
                   MakeUnitFace<SharedEndpoint>},
      UnitFaceKind{{kVideohubKey, kVideohubPort, "127.0.0.1:9990", "9990 text protocol on"},
                   MakeUnitFace<VideohubFace>},
      UnitFaceKind{{kSwp08Key, std::nullopt, "127.0.0.1:2008", "SW-P-08 on"},
                   MakeUnitFace<Swp08Face>},
      SectionFaceKind{"mqtt", "MQTT", ReadMqttSection, MakeSectionFace<MqttFace, MqttConfig>},
      SectionFaceKind{"page", "HTTP", ReadHttpSection, MakeSectionFace<WebFace, HttpConfig>},
  };
  return faces;
}

ConfigFaces ConfigOfFaces() {
  ConfigFaces config;
  for (const FaceKind& kind : AllFaces()) {
    if (const auto* section = std::get_if<SectionFaceKind>(&kind)) {
      config.sections.push_back({section->section, section->read});
    } else {
      config.unitKeys.push_back(std::get<UnitFaceKind>(kind).key);
    }
  }
  return config;
}

bool ReadConfig(const std::string& path, BridgeConfig& config, std::string& problem,
                const FileAccess& files) {
  return ReadBridgeConfig(path, ConfigOfFaces(), config, problem, files);
}

bool ParseConfig(std::string_view text, const std::string& path, BridgeConfig& config,
                 std::string& problem, const FileAccess& files) {
  return ParseBridgeConfig(text, path, ConfigOfFaces(), config, problem, files);
}

std::string Describe(const BridgeConfig& config) {
  const std::vector<UnitFaceKey> unitKeys = ConfigOfFaces().unitKeys;
  std::string text;
  for (const UnitConfig& unit : config.units) text += Describe(unit, unitKeys) + "\n";
  for (const FaceKind& kind : AllFaces()) {
    const auto* section = std::get_if<SectionFaceKind>(&kind);
    if (section == nullptr) continue;
    if (const auto found = config.faces.find(std::string(section->section));
        found != config.faces.end()) {
      text += found->second->Describe() + "\n";
    }
  }
  return text;
}

}  // namespace bridge
