#include "web/RequestOrigin.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "AddressValue.h"
#include "TextRules.h"
#include "UnitProcIP.h"

namespace bridge {
namespace {

// An address as a proxy writes it: four decimal numbers, nothing else.
std::optional<std::uint32_t> DottedAddress(std::string_view text) {
  in_addr address{};
  if (text.empty() || text.size() > 15 ||
      inet_pton(AF_INET, std::string(text).c_str(), &address) != 1) {
    return std::nullopt;
  }
  return kdt::FromNumericOrder(ntohl(address.s_addr));
}

bool Trusted(std::uint32_t address, const std::vector<Cidr>& proxies) {
  return std::ranges::any_of(proxies,
                             [address](const Cidr& cidr) { return cidr.Contains(address); });
}

std::string LowerName(std::string_view name) {
  if (name.ends_with('.')) name.remove_suffix(1);
  std::string lower(name);
  std::ranges::transform(lower, lower.begin(),
                         [](char c) { return char(std::tolower(static_cast<unsigned char>(c))); });
  return lower;
}

}  // namespace

std::uint32_t ClientBehind(std::uint32_t peer, std::string_view forwardedFor,
                           const std::vector<Cidr>& proxies) {
  std::uint32_t client = peer;
  while (Trusted(client, proxies) && !forwardedFor.empty()) {
    const std::size_t comma = forwardedFor.rfind(',');
    const std::string_view last = kdt::TrimBlanks(
        comma == std::string_view::npos ? forwardedFor : forwardedFor.substr(comma + 1));
    forwardedFor =
        comma == std::string_view::npos ? std::string_view() : forwardedFor.substr(0, comma);
    const auto address = DottedAddress(last);
    // What a trusted proxy passed on that is not an address leaves the
    // client unknown: the proxy answers for it.
    if (!address) break;
    client = *address;
  }
  return client;
}

bool HostAccepted(std::string_view host, std::uint32_t local,
                  const std::vector<std::string>& names) {
  const std::size_t colon = host.rfind(':');
  if (colon != std::string_view::npos) {
    const std::string_view port = host.substr(colon + 1);
    if (!std::ranges::all_of(port, [](char c) { return c >= '0' && c <= '9'; })) return false;
    host = host.substr(0, colon);
  }
  const std::string name = LowerName(host);
  if (name.empty()) return false;
  if (const auto address = DottedAddress(name); address && *address == local) return true;
  if (name == "localhost" && IsLoopback(local)) return true;
  return std::ranges::any_of(
      names, [&name](const std::string& given) { return LowerName(given) == name; });
}

}  // namespace bridge
