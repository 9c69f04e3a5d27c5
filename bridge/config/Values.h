// The kinds of value that the bridge's file gives, each read one way for
// every section: an IPv4 address (with the console's address rules), a
// whole number in a range, an address and a port, networks as CIDR, an id.
// Free of Qt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

constexpr int kHighestPort = 65535;
// Who may connect unless ALLOW says otherwise: this machine alone.
extern const Cidr kLoopback;

bool IsLoopback(std::uint32_t address);

bool ReadAddress(std::string_view text, std::uint32_t& address);
bool ReadNumber(std::string_view text, int lowest, int highest, int& value);
// "127.0.0.1:10001"; without a port, `defaultPort` when there is one.
bool ReadEndpoint(std::string_view text, Endpoint& endpoint,
                  std::optional<int> defaultPort = std::nullopt);
// Networks separated by commas; false with the reason in words.
bool ReadCidrList(std::string_view text, std::vector<Cidr>& list, std::string& reason);

// What an id is made of (a unit's, a salvo's, a client's at the broker, and
// every id derived from one): letters, digits, '-' and '_', so that it
// stands in a topic, a path or a file name as it is.
bool IsIdCharacter(char c);
constexpr std::size_t kLongestId = 64;
bool IsId(std::string_view text);

// "192.168.0.200:10001".
std::string EndpointText(const Endpoint& endpoint);
std::string CidrText(const Cidr& cidr);
// "127.0.0.0/8, 10.0.0.0/8", as --check says who may connect.
std::string CidrListText(const std::vector<Cidr>& list, const char* separator = ", ");
// Two addresses that cannot both be listened on: the same port, and the
// same address or any (0.0.0.0).
bool Overlaps(const Endpoint& a, const Endpoint& b);

}  // namespace bridge
