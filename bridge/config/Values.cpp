#include "config/Values.h"

#include <algorithm>

#include "AddressValue.h"
#include "TextRules.h"
#include "UnitProcIP.h"

namespace bridge {
namespace {

std::uint32_t Mask(int prefix) {
  return prefix == 0 ? 0 : ~std::uint32_t(0) << (32 - prefix);
}

// A network, or a single address. An address with bits beyond its prefix
// ("192.168.1.1/24") is refused rather than guessed at: the writer may have
// meant the host or the network.
bool ReadCidr(std::string_view text, Cidr& cidr, std::string& reason) {
  const std::size_t slash = text.find('/');
  std::uint32_t address = 0;
  cidr.prefix = 32;
  if (!ReadAddress(kdt::TrimBlanks(text.substr(0, slash)), address) ||
      (slash != std::string_view::npos &&
       !ReadNumber(kdt::TrimBlanks(text.substr(slash + 1)), 0, 32, cidr.prefix))) {
    reason = "ALLOW: networks such as 127.0.0.0/8, 192.168.1.0/24, not '" + std::string(text) + "'";
    return false;
  }
  cidr.network = kdt::NumericOrder(address) & Mask(cidr.prefix);
  if (cidr.network == kdt::NumericOrder(address)) return true;
  reason = "ALLOW: " + std::string(text) + " has bits beyond its /" + std::to_string(cidr.prefix) +
           ": the network is " + CidrText(cidr) + ", the host " + kdt::IPToStr(address) + "/32";
  return false;
}

}  // namespace

const Cidr kLoopback{0x7F000000, 8};

bool Cidr::Contains(std::uint32_t addressValue) const {
  return (kdt::NumericOrder(addressValue) & Mask(prefix)) == network;
}

bool IsLoopback(std::uint32_t address) {
  return kLoopback.Contains(address);
}

bool ReadAddress(std::string_view text, std::uint32_t& address) {
  kdt::OctetArray octets;
  if (!kdt::StrToIPBytes(text, octets)) return false;
  address = kdt::PackOctets(octets);
  return true;
}

bool ReadNumber(std::string_view text, int lowest, int highest, int& value) {
  std::int32_t number = 0;
  if (!kdt::ParseWholeNumber(text, number) || number < lowest || number > highest) return false;
  value = number;
  return true;
}

bool ReadEndpoint(std::string_view text, Endpoint& endpoint, std::optional<int> defaultPort) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    if (!defaultPort) return false;
    endpoint.port = *defaultPort;
    return ReadAddress(text, endpoint.address);
  }
  return ReadAddress(text.substr(0, colon), endpoint.address) &&
         ReadNumber(text.substr(colon + 1), 1, kHighestPort, endpoint.port);
}

bool ReadCidrList(std::string_view text, std::vector<Cidr>& list, std::string& reason) {
  list.clear();
  for (;;) {
    const std::size_t comma = text.find(',');
    Cidr cidr;
    if (!ReadCidr(kdt::TrimBlanks(text.substr(0, comma)), cidr, reason)) return false;
    list.push_back(cidr);
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

bool IsIdCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

bool IsId(std::string_view text) {
  return !text.empty() && text.size() <= kLongestId && std::ranges::all_of(text, IsIdCharacter);
}

std::string EndpointText(const Endpoint& endpoint) {
  return kdt::IPToStr(endpoint.address) + ":" + std::to_string(endpoint.port);
}

std::string CidrText(const Cidr& cidr) {
  return kdt::IPToStr(kdt::FromNumericOrder(cidr.network)) + "/" + std::to_string(cidr.prefix);
}

std::string CidrListText(const std::vector<Cidr>& list, const char* separator) {
  std::string text;
  for (const Cidr& cidr : list) text += (text.empty() ? "" : separator) + CidrText(cidr);
  return text;
}

bool Overlaps(const Endpoint& a, const Endpoint& b) {
  return a.port == b.port && (a.address == b.address || a.address == 0 || b.address == 0);
}

}  // namespace bridge
