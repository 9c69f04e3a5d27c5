// The broker, and where on it the bridge publishes: the [MQTT] section.
// Free of Qt.
#pragma once

#include <memory>
#include <string>

#include "config/BridgeConfig.h"

namespace bridge {

struct MqttConfig : FaceSettings {
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string clientId = "kdt212-bridge";
  std::string user;
  std::string password;  // read from PASSWORD_FILE; never logged
  std::string caFile;    // set: TLS, the broker's certificate checked against it
  std::string topic = "kdt212";
  std::string discovery = "homeassistant";  // empty: no discovery

  bool operator==(const MqttConfig& other) const;
  // "mqtt: broker.local:1883 as hub, topic kdt212, discovery under homeassistant".
  std::string Describe() const override;
  int Descriptors() const override { return 1; }  // the broker's connection
};

// [MQTT]; nullptr with the fault in the checker.
std::shared_ptr<const FaceSettings> ReadMqttSection(const SectionView& section, Checker& checker);

}  // namespace bridge
