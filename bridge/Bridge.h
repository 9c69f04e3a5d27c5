// The bridge as a whole: every unit of its configuration, served until the
// program ends, and to whoever consumes them (UnitConsumer.h): MQTT when the
// file has an [MQTT] section, the page when it has an [HTTP] one, and the
// salvos (Salvos.h). It keeps for them the record of who switched what
// (LogBook.h) and the protects (Protects.h), which it keeps in STATE=, or
// in the service's state directory.
// A new configuration (SIGHUP) is applied unit by unit: units added are
// started, removed ones said goodbye to (and cleared from the broker),
// changed ones restarted, and unchanged ones keep their session and their
// clients.
#pragma once

#include <QObject>
#include <map>
#include <memory>
#include <string>

#include "BridgeConfig.h"
#include "LogBook.h"
#include "MqttBridge.h"
#include "Protects.h"
#include "Salvos.h"
#include "SharedUnit.h"
#include "UnitConsumer.h"
#include "WebServer.h"

namespace bridge {

class Bridge : public QObject {
 public:
  Bridge(std::string configPath, bool verbose);
  ~Bridge() override;  // every unit says goodbye

  void Apply(const BridgeConfig& config);
  // Reads the file again and applies it; a file that is now faulty is
  // refused with its line, and the running units go on.
  void Reload();
  // The broker told the bridge and every unit are offline; every unit says
  // goodbye.
  void StopAll();

 private:
  void ApplyUnits(const BridgeConfig& config);
  void ApplyConsumers(const BridgeConfig& config);
  void ApplyWeb(const BridgeConfig& config);
  BridgeServices Services();
  std::vector<UnitConsumer*> Consumers();
  std::vector<SharedUnit*> UnitsInOrder() const;

  void Record(LogEntry entry);
  void ProtectChanged(const std::string& unit);

  const std::string configPath_;
  const bool verbose_;
  LogBook logBook_;
  Protects protects_;  // before the units, which look into them to their end
  Salvos salvos_;
  std::map<std::string, std::unique_ptr<SharedUnit>> units_;  // by id
  std::vector<std::string> order_;                            // the file's
  std::unique_ptr<MqttBridge> mqtt_;
  std::unique_ptr<WebServer> web_;
};

}  // namespace bridge
