// The bridge's configuration file, in the project's INI format: one
// [UNIT id] section per unit, and an [MQTT] section for the broker. Read
// whole and checked before anything starts: an unknown section or key, a key
// given twice, a duplicate id, two units on one LISTEN, a value out of
// range, each is refused with the file and line. Free of Qt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FileAccess.h"
#include "UnitFrames.h"
#include "WebUsers.h"

namespace bridge {

// An IPv4 address value (first octet lowest, as the console keeps one) and
// a port.
struct Endpoint {
  std::uint32_t address = 0;
  int port = 0;
  bool operator==(const Endpoint&) const = default;
};

// A network of IPv4 addresses, as "a.b.c.d/n".
struct Cidr {
  std::uint32_t network = 0;  // in numeric order: the first octet highest
  int prefix = 32;
  bool Contains(std::uint32_t addressValue) const;
  bool operator==(const Cidr&) const = default;
};

constexpr int kDefaultMaxClients = 16;
// A bridge answers its clients from what it holds: its own pace sets only
// how soon a change is seen, and 10 ms is within a blink.
constexpr std::uint32_t kDefaultIntervalMs = 10;

struct UnitConfig {
  std::string id;  // letters, digits, '-' and '_'
  std::uint32_t address = 0;
  int port = kdt::kUnitPort;
  std::uint32_t intervalMs = kDefaultIntervalMs;
  std::optional<Endpoint> listen;
  std::vector<Cidr> allow;  // who may connect to LISTEN; loopback unless given
  int maxClients = kDefaultMaxClients;
  int line = 0;  // of the unit's section, for messages
  // The same unit served the same way; the line does not count.
  bool operator==(const UnitConfig& other) const;
  // The same session: address, port and interval. What else differs is the
  // endpoint's, which changes without a new session.
  bool SameSession(const UnitConfig& other) const;
};

// What differs from `before` to `after`, for a log line:
// "INTERVAL 1 -> 10, ALLOW 127.0.0.0/8 -> 10.0.0.0/8"; empty when nothing.
std::string ChangesText(const UnitConfig& before, const UnitConfig& after);

// The broker, and where on it the bridge publishes.
struct MqttConfig {
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string clientId = "kdt212-bridge";
  std::string user;
  std::string password;  // read from PASSWORD_FILE; never logged
  std::string caFile;    // set: TLS, the broker's certificate checked against it
  std::string topic = "kdt212";
  std::string discovery = "homeassistant";  // empty: no discovery
  int line = 0;
  bool operator==(const MqttConfig& other) const;
};

// The bridge's page ([HTTP]).
constexpr int kDefaultWebClients = 64;
struct HttpConfig {
  Endpoint listen;
  std::vector<Cidr> allow;        // who may connect; loopback unless given
  std::string usersFile;          // empty: no login, and loopback only
  std::vector<WebUser> users;     // read from it
  std::string certFile, keyFile;  // both: HTTPS
  int maxClients = kDefaultWebClients;
  int line = 0;
  bool operator==(const HttpConfig& other) const;
};

// A salvo ([SALVO id]): relays of the bridge's units and the input each
// takes, together.
struct SalvoStep {
  std::string unit;
  int relay = 0;  // 1 to 3
  int input = 0;  // 1 or 2
  int line = 0;   // for messages; it does not count
  bool operator==(const SalvoStep& other) const {
    return unit == other.unit && relay == other.relay && input == other.input;
  }
};
struct SalvoConfig {
  std::string id;
  std::string label;  // empty: the id is shown
  std::vector<SalvoStep> steps;
  int line = 0;
  bool operator==(const SalvoConfig& other) const {
    return id == other.id && label == other.label && steps == other.steps;
  }
};

struct BridgeConfig {
  std::vector<UnitConfig> units;
  std::optional<MqttConfig> mqtt;
  std::optional<HttpConfig> http;
  std::vector<SalvoConfig> salvos;
  // Where the protects are kept ([BRIDGE] STATE=, or the service's state
  // directory); empty: not across a restart.
  std::string stateFile;
  // Sound, but worth a word, as "FILE:LINE: what": a password file that
  // every user may read.
  std::vector<std::string> warnings;
};

// What an id is made of (a unit's, and every id derived from one): letters,
// digits, '-' and '_', so that it stands in a topic, a path or a file name
// as it is.
bool IsIdCharacter(char c);

constexpr std::size_t kLongestUnitId = 64;

// The ids that name the bridge itself and its salvos in MQTT topics, which
// no unit may take.
constexpr std::string_view kBridgeId = "bridge";
constexpr std::string_view kSalvoId = "salvo";

// False with "FILE:LINE: reason", or "FILE: reason" when it cannot be read.
// The files that it names are judged by `files`.
bool ReadBridgeConfig(const std::string& path, BridgeConfig& config, std::string& problem,
                      const FileAccess& files = FileAccess::OwnRights());
bool ParseBridgeConfig(std::string_view text, const std::string& path, BridgeConfig& config,
                       std::string& problem, const FileAccess& files = FileAccess::OwnRights());

// "192.168.0.200:10001".
std::string EndpointText(const Endpoint& endpoint);
std::string CidrText(const Cidr& cidr);
// The descriptors that serving the configuration may take at once: every
// unit's session, its listener and MAXCLIENTS clients, the broker's
// connection, and what the program holds besides.
int DescriptorsNeeded(const BridgeConfig& config);
// The service's LimitNOFILE= (kdt212-bridge.service says the same).
constexpr int kServiceDescriptorLimit = 65536;

// What --check prints of a unit, and of the broker: one line each.
std::string Describe(const UnitConfig& unit);
std::string Describe(const MqttConfig& mqtt);
std::string Describe(const HttpConfig& http);

}  // namespace bridge
