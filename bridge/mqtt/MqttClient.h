// The bridge's connection to the MQTT broker, on libmosquitto, driven by the
// Qt event loop through the connection's socket, in MQTT 5, so that a
// retained message is told apart from a live one (retain-as-published).
// Nothing that can wait on the network runs on the event loop: the broker's
// name is looked up, and the connection begun, on a thread of its own.
// Every step of the set-up is checked: a client that cannot be set up as
// configured (TLS above all) does not connect at all. A broker that cannot
// be reached, that does not answer the connection, or that is lost later,
// is tried again after a back-off (Backoff.h), so that two bridges with one
// CLIENTID, which the broker keeps exchanging, do not take each other's
// session every second; that is said once (the instance topic tells it
// where the broker does not). While the broker is away nothing is
// queued, and the owner publishes the current value of every topic when
// the connection is back. The last will marks the bridge offline should it
// die.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "core/DownNotice.h"
#include "mqtt/Backoff.h"
#include "mqtt/MqttSection.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
class QSocketNotifier;

namespace bridge {

// How long the broker may take to answer a connection: well within the
// keep-alive, so that a broker that takes connections and says nothing is
// named as such.
constexpr int kConnackTimeoutMs = 10000;

class MqttClient : public QObject {
 public:
  struct Handlers {
    std::function<void()> connected;  // subscribe and publish everything
    // A message on a subscribed topic, and whether it was published retained.
    std::function<void(const std::string& topic, const std::string& payload, bool retained)>
        message;
  };

  // Starts connecting at once. `willTopic` gets "offline" from the broker
  // should the connection end without a goodbye; `instanceTopic` says which
  // bridge holds the CLIENTID's session (retained; cleared at the end).
  MqttClient(const MqttConfig& config, const std::string& willTopic,
             const std::string& instanceTopic, Handlers handlers);
  // Publishes `farewell` (topic, payload, retained) and disconnects.
  ~MqttClient() override;
  void SetFarewell(std::vector<std::pair<std::string, std::string>> farewell);

  bool Connected() const { return connected_; }
  // Retained or not, at QoS 1; false, and nothing kept, while not connected.
  bool Publish(const std::string& topic, const std::string& payload, bool retain);
  // Retained messages come with their flag as published.
  bool Subscribe(const std::string& pattern);
  std::string Where() const;

 private:
  struct Handle;
  static void OnConnect(mosquitto* mosq, void* self, int result, int flags,
                        const mqtt5__property* properties);
  static void OnDisconnect(mosquitto* mosq, void* self, int reason,
                           const mqtt5__property* properties);
  static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message);
  static void OnPublish(mosquitto* mosq, void* self, int id);

  bool SetUp(std::string& problem);
  void Connect();
  void Begun(int result);
  void Watch();
  void Unwatch(bool now = false);
  void SayFarewell();
  void Lost(std::string reason);
  void TakenOver(const std::string& by);
  void Instance(const std::string& payload);
  void RetryLater(const std::string& what, const std::string& reason);
  void Drive(int (*step)(mosquitto*, int));
  void WantWrite();

  const MqttConfig config_;
  const std::string willTopic_;
  const std::string instanceTopic_;
  const std::string instance_;  // this bridge's: "host, process 1234"
  Handlers handlers_;
  // Shared with a connection attempt on its thread, which may outlive this.
  std::shared_ptr<Handle> handle_;
  mosquitto* mosq_ = nullptr;
  bool connecting_ = false;  // an attempt runs on its thread: mosq_ is its
  bool connected_ = false;
  int connections_ = 0;    // made since the start
  std::string refusal_;    // why the broker refused the connection
  std::string endReason_;  // why the broker ended it
  QSocketNotifier* readable_ = nullptr;
  QSocketNotifier* writable_ = nullptr;
  QTimer misc_;     // pings and retries of the protocol
  QTimer retry_;    // the next connection attempt
  QTimer connack_;  // the broker's answer to the connection
  Backoff backoff_;
  DownNotice down_;
  // Taken over by a client with this CLIENTID, and said so: until a
  // connection holds, each time is worth no more lines.
  bool takenOverSaid_ = false;
  std::vector<std::pair<std::string, std::string>> farewell_;
  std::set<int> unacknowledged_;  // of the farewell
};

// Starts and ends libmosquitto for the program's life. At its end it waits,
// briefly, for connection attempts still on their threads.
class MqttLibrary {
 public:
  MqttLibrary();
  ~MqttLibrary();
};

}  // namespace bridge
