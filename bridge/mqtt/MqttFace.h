// Each unit published to MQTT, with Home Assistant discovery (Topics.h,
// Discovery.h): retained state, one message per topic whose value changed
// and nothing while nothing changes; after the broker comes back, the
// current value of every topic, so that nothing stale stays. A unit is
// announced once its first attempt has had its outcome, and when the bridge
// ends, each of its units says it is no longer served. Commands from the hub
// go through the core's door and are taken only when they can be carried
// out at once: a retained one (which a broker would replay on every
// connection, and which MQTT 5 tells apart even while the bridge is
// connected), an empty one (how hubs clear a retained message), one that
// the door refuses (the unit down, the relay locked or another's), or with
// a payload that is not one of the topic's, is logged and dropped, never
// queued for later. The hub's newest command for a relay replaces one that
// has not gone yet, so that a flood leaves nothing behind it. The hub may
// protect relays itself, and take salvos, whose answers it gets back.
// Several bridges may share a TOPIC: each clears from the hub only what it
// published itself.
#pragma once

#include <QObject>
#include <QTimer>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/Core.h"
#include "core/Face.h"
#include "core/Log.h"
#include "mqtt/MqttClient.h"
#include "mqtt/MqttSection.h"
#include "mqtt/Topics.h"

namespace bridge {

class MqttFace : public QObject, public SectionFace {
 public:
  MqttFace(const MqttConfig& config, Core& core);
  ~MqttFace() override;  // every unit no longer served, the bridge offline, then goodbye

  // Taken only as it is: any change connects anew.
  bool Reconfigure(const FaceSettings& settings) override;
  // Those that are new are published.
  void UnitsChanged(const std::vector<Unit*>& units) override;
  // Its topics and its discovery are cleared with empty retained messages.
  void UnitRemoved(const std::string& id) override;
  void UnitChanged(const Unit& unit) override;
  void SalvosChanged() override { PublishDiscovery(false); }

 private:
  void Connected();
  void Message(const std::string& topic, const std::string& payload, bool retained);
  void PublishUnit(const Unit& unit);
  void PublishDiscovery(bool again);
  void Publish(const std::string& topic, const std::string& payload, bool force = false);
  void Clear(const std::string& topic);
  void Discovered(const std::string& unit, const std::string& payload, bool retained);
  void RelayCommand(const std::string& topic, const std::string& payload, bool retained);
  void CommandInput(const Unit& unit, int relay, const std::string& payload);
  void CommandName(const Unit& unit, int relay, const std::string& payload);
  void CommandProtect(const Unit& unit, int relay, const std::string& payload);
  void TakeSalvo(const std::string& salvo, const std::string& payload, bool retained);
  void ClearSalvosGone();
  void Send(Command command, const std::string& what);
  void Dropped(const std::string& kind, const std::string& line);

  const MqttConfig config_;
  Core& core_;
  const CommandSource source_ = NewCommandSource();
  std::vector<Unit*> units_;
  // What the broker holds from this connection, topic by topic.
  std::map<std::string, std::string> published_;
  std::set<std::string> cleared_;  // units of an earlier run cleared in this connection
  std::set<std::string> buttons_;  // the salvos' buttons that the hub has from this bridge
  std::set<std::pair<std::string, std::string>> sharedWith_;  // unit, other bridge: said
  LogThrottle throttle_;
  QTimer discoveryAgain_;               // after the hub said it is back
  std::unique_ptr<MqttClient> client_;  // last: its handlers use the above
};

}  // namespace bridge
