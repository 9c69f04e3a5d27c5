#include "Settings.h"

#include "IniFile.h"
#include "TextFile.h"
#include "UnitProcIP.h"

namespace kdt {
namespace {

constexpr const char* kWindow = "WINDOW";
constexpr const char* kNetwork = "NETWORK";

}  // namespace

bool LoadPanelSettings(const std::string& path, PanelSettings& settings, std::string& error) {
  std::string text;
  if (!ReadTextFile(path, text, error)) return false;
  const IniContent ini = IniContent::Parse(text);
  settings.left = ini.ReadInteger(kWindow, "LEFT", kDefaultWindowLeft);
  settings.top = ini.ReadInteger(kWindow, "TOP", kDefaultWindowTop);
  settings.address = StrToIP(ini.ReadString(kNetwork, "ADDR", kDefaultAddress));
  settings.autoConnect = ini.ReadBool(kNetwork, "AUTO", false);
  for (int r = 1; r <= kRelayCount; ++r) {
    settings.sync[r - 1] = ini.ReadBool(RelayLabel(r), "SYNC", false);
  }
  return true;
}

bool SavePanelSettings(const std::string& path, const PanelSettings& settings, std::string& error) {
  return UpdateTextFile(
      path,
      [&settings](const std::string& text) {
        IniContent ini = IniContent::Parse(text);
        ini.WriteInteger(kWindow, "LEFT", settings.left);
        ini.WriteInteger(kWindow, "TOP", settings.top);
        ini.Write(kNetwork, "ADDR", IPToStr(settings.address));
        ini.WriteBool(kNetwork, "AUTO", settings.autoConnect);
        for (int r = 1; r <= kRelayCount; ++r) {
          ini.WriteBool(RelayLabel(r), "SYNC", settings.sync[r - 1]);
        }
        return ini.Serialize();
      },
      error);
}

}  // namespace kdt
