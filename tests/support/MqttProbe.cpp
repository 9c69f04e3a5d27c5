#include "MqttProbe.h"

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace testsupport {

MqttProbe::MqttProbe(int port, const std::string& caFile) {
  static const int library = mosquitto_lib_init();
  (void)library;
  mosq_ = mosquitto_new(nullptr, true, this);
  mosquitto_connect_callback_set(mosq_, &MqttProbe::OnConnect);
  mosquitto_message_callback_set(mosq_, &MqttProbe::OnMessage);
  if (!caFile.empty()) mosquitto_tls_set(mosq_, caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
  mosquitto_connect_async(mosq_, "127.0.0.1", port, 30);
  mosquitto_loop_start(mosq_);
}

MqttProbe::~MqttProbe() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, true);
  mosquitto_destroy(mosq_);
}

void MqttProbe::OnConnect(mosquitto* mosq, void* self, int result) {
  auto& probe = *static_cast<MqttProbe*>(self);
  std::lock_guard lock(probe.mutex_);
  probe.connected_ = result == 0;
  for (const std::string& pattern : probe.patterns_) {
    mosquitto_subscribe(mosq, nullptr, pattern.c_str(), 1);
  }
  probe.changed_.notify_all();
}

void MqttProbe::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto& probe = *static_cast<MqttProbe*>(self);
  std::lock_guard lock(probe.mutex_);
  probe.messages_.push_back(
      {message->topic,
       std::string(static_cast<const char*>(message->payload), std::size_t(message->payloadlen)),
       message->retain, std::chrono::steady_clock::now()});
  probe.changed_.notify_all();
}

bool MqttProbe::Connected(int timeoutMs) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return connected_; });
}

void MqttProbe::Subscribe(const std::string& pattern) {
  {
    std::lock_guard lock(mutex_);
    patterns_.push_back(pattern);
  }
  mosquitto_subscribe(mosq_, nullptr, pattern.c_str(), 1);
}

void MqttProbe::Publish(const std::string& topic, const std::string& payload, bool retain) {
  mosquitto_publish(mosq_, nullptr, topic.c_str(), int(payload.size()), payload.data(), 1, retain);
}

std::vector<Received> MqttProbe::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

void MqttProbe::Forget() {
  std::lock_guard lock(mutex_);
  messages_.clear();
}

bool MqttProbe::WaitUntil(const std::function<bool(const std::vector<Received>&)>& done,
                          int timeoutMs) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return done(messages_); });
}

bool MqttProbe::WaitFor(const std::string& topic, const std::string& payload, int timeoutMs) {
  return WaitUntil(
      [&](const std::vector<Received>& messages) {
        return std::any_of(messages.begin(), messages.end(), [&](const Received& m) {
          return m.topic == topic && m.payload == payload;
        });
      },
      timeoutMs);
}

bool MqttProbe::WaitForTopic(const std::string& topic, int timeoutMs) {
  return WaitUntil(
      [&](const std::vector<Received>& messages) {
        return std::any_of(messages.begin(), messages.end(),
                           [&](const Received& m) { return m.topic == topic; });
      },
      timeoutMs);
}

std::string LatestIn(const std::vector<Received>& messages, const std::string& topic) {
  for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
    if (it->topic == topic) return it->payload;
  }
  return {};
}

int CountIn(const std::vector<Received>& messages, const std::string& topic) {
  return int(std::count_if(messages.begin(), messages.end(),
                           [&](const Received& m) { return m.topic == topic; }));
}

std::string MqttProbe::Latest(const std::string& topic) const {
  std::lock_guard lock(mutex_);
  return LatestIn(messages_, topic);
}

int MqttProbe::Count(const std::string& topic) const {
  std::lock_guard lock(mutex_);
  return CountIn(messages_, topic);
}

}  // namespace testsupport
