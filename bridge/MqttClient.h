// The bridge's connection to the MQTT broker, on libmosquitto, driven by the
// Qt event loop through the connection's socket. A broker that cannot be
// reached at the start, or is lost later, is tried again after a back-off
// of 1 s doubling to 30 s, with jitter, so that many bridges do not come
// back at once; while it is away nothing is queued, and the owner publishes
// the current value of every topic when the connection is back. The last
// will marks the bridge offline should it die.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>
#include <set>
#include <string>

#include "BridgeConfig.h"

struct mosquitto;
struct mosquitto_message;
class QSocketNotifier;

namespace bridge {

constexpr int kFirstRetryMs = 1000;
constexpr int kLongestRetryMs = 30000;

class MqttClient : public QObject {
 public:
  struct Handlers {
    std::function<void()> connected;  // subscribe and publish everything
    // A message on a subscribed topic, and whether it was a retained one.
    std::function<void(const std::string& topic, const std::string& payload, bool retained)>
        message;
  };

  // Starts connecting at once. `willTopic` gets "offline" from the broker
  // should the connection end without a goodbye.
  MqttClient(const MqttConfig& config, const std::string& willTopic, Handlers handlers);
  // Publishes `farewell` (topic, payload, retained) and disconnects.
  ~MqttClient() override;
  void SetFarewell(std::vector<std::pair<std::string, std::string>> farewell);

  bool Connected() const { return connected_; }
  // Retained or not, at QoS 1; false, and nothing kept, while not connected.
  bool Publish(const std::string& topic, const std::string& payload, bool retain);
  bool Subscribe(const std::string& pattern);
  std::string Where() const;

 private:
  static void OnConnect(mosquitto* mosq, void* self, int result);
  static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message);
  static void OnPublish(mosquitto* mosq, void* self, int id);

  void Connect();
  void Watch();
  void Unwatch(bool now = false);
  void SayFarewell();
  void Lost(std::string reason);
  void RetryLater(const std::string& what, const std::string& reason);
  void Drive(int (*step)(mosquitto*, int));
  void WantWrite();

  const MqttConfig config_;
  const std::string willTopic_;
  Handlers handlers_;
  mosquitto* mosq_ = nullptr;
  bool connected_ = false;
  std::string refusal_;  // why the broker refused the connection
  QSocketNotifier* readable_ = nullptr;
  QSocketNotifier* writable_ = nullptr;
  QTimer misc_;   // pings and retries of the protocol
  QTimer retry_;  // the next connection attempt
  int nextRetryMs_ = kFirstRetryMs;
  bool downSaid_ = false;
  QElapsedTimer reminded_;
  std::vector<std::pair<std::string, std::string>> farewell_;
  std::set<int> unacknowledged_;  // of the farewell
};

// Starts and ends libmosquitto for the program's life.
class MqttLibrary {
 public:
  MqttLibrary();
  ~MqttLibrary();
};

}  // namespace bridge
