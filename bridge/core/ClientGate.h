// Who may connect to what the bridge serves (a unit's endpoint, the page):
// one rule for all. A client comes in from a network that ALLOW names, while
// there is a place among MAXCLIENTS, or while one can be made: a host that
// holds more than half the places gives up its idlest client for another
// host, which holds less than half. One host may hold every place while no
// other wants one. Where a client may give way without losing anything (a
// connection of the page with no request in hand), the idlest such gives
// way to any newcomer once every place is taken. Free of Qt.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "config/Values.h"

namespace bridge {

struct ClientPlace {
  std::uint32_t host = 0;  // the client's address value
  std::chrono::steady_clock::time_point lastActive;
  bool mayGiveWay = false;  // nothing is lost if it goes
};

struct Admission {
  bool admitted = false;
  int evict = -1;       // the place to free for it, or -1
  std::string refusal;  // when not admitted: "not in ALLOW", "MAXCLIENTS (16) reached"
  std::string evicted;  // for the evicted client's log line
};

Admission AdmitClient(const std::vector<Cidr>& allow, int maxClients, std::uint32_t peer,
                      const std::vector<ClientPlace>& taken);

bool Allowed(const std::vector<Cidr>& allow, std::uint32_t peer);

}  // namespace bridge
