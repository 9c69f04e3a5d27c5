#include "mqtt/MqttSection.h"

#include <sys/stat.h>

#include "TextFile.h"

namespace bridge {
namespace {

bool Refuse(std::string& reason, std::string text) {
  reason = std::move(text);
  return false;
}

// A topic the bridge publishes under: no wildcards, no empty level at
// either end.
bool IsTopicBase(std::string_view topic) {
  return !topic.empty() && topic.find_first_of("+#") == std::string_view::npos &&
         topic.front() != '/' && topic.back() != '/';
}

// The password: the file's first line, its line end (LF or CR LF) not part
// of it.
bool ReadPasswordFile(const std::string& path, KeyLine at, MqttConfig& mqtt, std::string& reason) {
  std::string text, error;
  if (!at.checker.Files().MayRead(path, reason) || !kdt::ReadTextFile(path, text, error)) {
    return Refuse(reason, "PASSWORD_FILE: " + (reason.empty() ? error : reason));
  }
  mqtt.password = text.substr(0, text.find_first_of("\r\n"));
  if (mqtt.password.empty()) {
    return Refuse(reason, "PASSWORD_FILE: '" + path + "' holds no password on its first line");
  }
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0) {
    at.checker.Warn(at.line, "PASSWORD_FILE " + path +
                                 " may be read by every user of this machine: chmod o-r it");
  }
  return true;
}

const KeyTable<MqttConfig> kMqttKeys = {
    {"HOST",
     [](std::string_view value, MqttConfig& mqtt, KeyLine, std::string& reason) {
       mqtt.host = std::string(value);
       return (!value.empty() && value.find_first_of(" \t") == std::string_view::npos) ||
              Refuse(reason, "HOST: the broker's address or name, not '" + mqtt.host + "'");
     }},
    {"PORT",
     [](std::string_view value, MqttConfig& mqtt, KeyLine, std::string& reason) {
       return ReadNumber(value, 1, kHighestPort, mqtt.port) ||
              Refuse(reason, "PORT: a port from 1 to 65535, not '" + std::string(value) + "'");
     }},
    {"CLIENTID",
     [](std::string_view value, MqttConfig& mqtt, KeyLine, std::string& reason) {
       mqtt.clientId = std::string(value);
       return IsId(value) ||
              Refuse(reason,
                     "CLIENTID: the bridge's name at the broker, in its topics and at the hub: "
                     "letters, digits, '-' and '_', at most 64, not '" +
                         mqtt.clientId + "'");
     }},
    {"USER",
     [](std::string_view value, MqttConfig& mqtt, KeyLine, std::string&) {
       mqtt.user = std::string(value);
       return true;
     }},
    {"PASSWORD_FILE",
     [](std::string_view value, MqttConfig& mqtt, KeyLine at, std::string& reason) {
       return value.empty() || ReadPasswordFile(std::string(value), at, mqtt, reason);
     }},
    {"CAFILE",
     [](std::string_view value, MqttConfig& mqtt, KeyLine at, std::string& reason) {
       mqtt.caFile = std::string(value);
       return value.empty() || at.checker.Files().MayRead(mqtt.caFile, reason) ||
              Refuse(reason, "CAFILE: " + reason);
     }},
    {"TOPIC",
     [](std::string_view value, MqttConfig& mqtt, KeyLine, std::string& reason) {
       mqtt.topic = std::string(value);
       return IsTopicBase(value) ||
              Refuse(reason, "TOPIC: a topic without + or # and without / at its ends, not '" +
                                 mqtt.topic + "'");
     }},
    {"DISCOVERY",
     [](std::string_view value, MqttConfig& mqtt, KeyLine, std::string& reason) {
       mqtt.discovery = std::string(value);
       return value.empty() || IsTopicBase(value) ||
              Refuse(reason,
                     "DISCOVERY: a topic without + or # and without / at its ends, or nothing, "
                     "not '" +
                         mqtt.discovery + "'");
     }},
    // A password given here is refused with a word on where it belongs.
    {"PASSWORD",
     [](std::string_view, MqttConfig&, KeyLine, std::string& reason) {
       return Refuse(reason,
                     "PASSWORD: the broker's password is not taken in this file, which many may "
                     "read; give PASSWORD_FILE, a file readable by the service alone");
     },
     false, [](std::string_view key) { return SameName(key, "PASSWORD"); }},
};

}  // namespace

bool MqttConfig::operator==(const MqttConfig& other) const {
  return host == other.host && port == other.port && clientId == other.clientId &&
         user == other.user && password == other.password && caFile == other.caFile &&
         topic == other.topic && discovery == other.discovery;
}

std::string MqttConfig::Describe() const {
  return "mqtt: " + host + ":" + std::to_string(port) + (caFile.empty() ? "" : " (TLS)") +
         (user.empty() ? "" : " as " + user) + ", topic " + topic + ", " +
         (discovery.empty() ? "no discovery" : "discovery under " + discovery);
}

std::shared_ptr<const FaceSettings> ReadMqttSection(const SectionView& section, Checker& checker) {
  auto mqtt = std::make_shared<MqttConfig>();
  mqtt->line = section.line;
  if (!ReadSection(section, kMqttKeys, "[MQTT]", *mqtt, checker)) return nullptr;
  if (!mqtt->password.empty() && mqtt->user.empty()) {
    checker.Fail(section.line, "a password for the broker needs USER");
    return nullptr;
  }
  return mqtt;
}

}  // namespace bridge
