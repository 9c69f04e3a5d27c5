// A test's own MQTT client, as a hub would be: it subscribes, keeps every
// message it receives (with its retain flag), waits for the ones a test
// expects, and publishes. Runs libmosquitto's own network thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace testsupport {

struct Received {
  std::string topic;
  std::string payload;
  bool retained = false;
  std::chrono::steady_clock::time_point at;  // when it came
};

// The newest payload on `topic` (empty when none came), and how many came.
std::string LatestIn(const std::vector<Received>& messages, const std::string& topic);
int CountIn(const std::vector<Received>& messages, const std::string& topic);

class MqttProbe {
 public:
  // Connects to the broker on 127.0.0.1; `caFile` for TLS.
  explicit MqttProbe(int port, const std::string& caFile = "");
  ~MqttProbe();
  MqttProbe(const MqttProbe&) = delete;
  MqttProbe& operator=(const MqttProbe&) = delete;

  bool Connected(int timeoutMs = 10000);
  void Subscribe(const std::string& pattern);
  void Publish(const std::string& topic, const std::string& payload, bool retain = false);

  std::vector<Received> Messages() const;
  void Forget();  // what was received so far
  // Waits until a message on `topic` carries `payload` (any payload when
  // empty is not asked for: see WaitForTopic).
  bool WaitFor(const std::string& topic, const std::string& payload, int timeoutMs = 15000);
  bool WaitForTopic(const std::string& topic, int timeoutMs = 15000);
  // `done` sees the messages received so far; it must not call the probe.
  bool WaitUntil(const std::function<bool(const std::vector<Received>&)>& done,
                 int timeoutMs = 15000);
  // The newest payload on `topic`; empty when none came.
  std::string Latest(const std::string& topic) const;
  int Count(const std::string& topic) const;

 private:
  static void OnConnect(mosquitto* mosq, void* self, int result);
  static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message);

  mosquitto* mosq_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool connected_ = false;
  std::vector<std::string> patterns_;  // subscribed again on every connection
  std::vector<Received> messages_;
};

}  // namespace testsupport
