// Each unit published to MQTT, with Home Assistant discovery (Topics.h,
// Discovery.h): retained state, one message per topic whose value changed
// and nothing while nothing changes; after the broker comes back, the
// current value of every topic, so that nothing stale stays. Commands from
// the hub are taken only when they can be carried out at once: a retained
// one (which a broker would replay on every connection), one for a unit
// that is down, for a locked relay, or with a payload that is not one of the
// topic's, is logged and dropped, never queued for later.
#pragma once

#include <QObject>
#include <QTimer>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BridgeConfig.h"
#include "MqttClient.h"
#include "SharedUnit.h"

namespace bridge {

class MqttBridge : public QObject {
 public:
  explicit MqttBridge(const MqttConfig& config);
  ~MqttBridge() override;  // the bridge and every unit offline, then goodbye

  const MqttConfig& Config() const { return config_; }
  // The units served now; those that are new are published.
  void SetUnits(std::vector<SharedUnit*> units);
  // A unit taken out of the configuration: its topics and its discovery are
  // cleared with empty retained messages.
  void UnitRemoved(const std::string& id);
  void UnitChanged(const SharedUnit& unit);

 private:
  void Connected();
  void Message(const std::string& topic, const std::string& payload, bool retained);
  void PublishUnit(const SharedUnit& unit);
  void PublishDiscovery(bool again);
  void Publish(const std::string& topic, const std::string& payload, bool force = false);
  void Clear(const std::string& topic);
  void Command(const std::string& topic, const std::string& payload, bool retained);
  void CommandInput(SharedUnit& unit, int relay, const std::string& payload);
  void CommandName(SharedUnit& unit, int relay, const std::string& payload);
  void ForgetStale(const std::string& unit);
  SharedUnit* Find(const std::string& id) const;

  const MqttConfig config_;
  std::vector<SharedUnit*> units_;
  // What the broker holds from this connection, topic by topic.
  std::map<std::string, std::string> published_;
  QTimer discoveryAgain_;               // after the hub said it is back
  std::unique_ptr<MqttClient> client_;  // last: its handlers use the above
};

}  // namespace bridge
