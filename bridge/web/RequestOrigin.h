// Who sent a request, and whom it was sent to: what a page must know before
// it believes anything else of it. Free of Qt.
// - Behind a reverse proxy every client comes from the proxy's address:
//   the proxies that [HTTP] PROXY names are believed about whom they passed
//   the request on for (X-Forwarded-For), nobody else. The client is the
//   rightmost address of that list that is not one of them, so that what a
//   client writes into the list itself changes nothing.
// - A browser sends the name it looked up as Host: a page of another site
//   whose name it makes point at this bridge (DNS rebinding) sends its own.
//   A request is taken only for the names the bridge is reached by.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/Values.h"

namespace bridge {

// The client's address value: `peer`'s own, or the one that trusted proxies
// say they passed the request on for. `forwardedFor` holds every
// X-Forwarded-For field of the request, joined by commas.
std::uint32_t ClientBehind(std::uint32_t peer, std::string_view forwardedFor,
                           const std::vector<Cidr>& proxies);

// A Host field (a name or an address, and a port or not) that names the
// bridge: the address that the connection came in on, "localhost" when that
// is a loopback address, or one of the names that [HTTP] HOST gives. Names
// are compared without case and without a trailing dot; ports are not (a
// proxy in front has its own).
bool HostAccepted(std::string_view host, std::uint32_t local,
                  const std::vector<std::string>& names);

}  // namespace bridge
