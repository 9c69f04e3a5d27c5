// The bridge as a whole: every unit of its configuration, served until the
// program ends, and to whoever consumes them (UnitConsumer.h): MQTT when the
// file has an [MQTT] section, the page when it has an [HTTP] one. It keeps
// the record of who switched what (LogBook.h) for them.
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
  std::vector<UnitConsumer*> Consumers() const;
  std::vector<SharedUnit*> UnitsInOrder() const;

  const std::string configPath_;
  const bool verbose_;
  LogBook logBook_;
  std::map<std::string, std::unique_ptr<SharedUnit>> units_;  // by id
  std::vector<std::string> order_;                            // the file's
  std::unique_ptr<MqttBridge> mqtt_;
  std::unique_ptr<WebServer> web_;
};

}  // namespace bridge
