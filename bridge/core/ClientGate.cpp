#include "core/ClientGate.h"

#include <algorithm>
#include <map>

#include "UnitProcIP.h"

namespace bridge {
namespace {

int IdlestOfThoseThatMayGiveWay(const std::vector<ClientPlace>& taken) {
  int idlest = -1;
  for (std::size_t i = 0; i < taken.size(); ++i) {
    if (taken[i].mayGiveWay &&
        (idlest < 0 || taken[i].lastActive < taken[std::size_t(idlest)].lastActive)) {
      idlest = int(i);
    }
  }
  return idlest;
}

}  // namespace

bool Allowed(const std::vector<Cidr>& allow, std::uint32_t peer) {
  return std::any_of(allow.begin(), allow.end(),
                     [peer](const Cidr& cidr) { return cidr.Contains(peer); });
}

Admission AdmitClient(const std::vector<Cidr>& allow, int maxClients, std::uint32_t peer,
                      const std::vector<ClientPlace>& taken) {
  Admission admission;
  if (!Allowed(allow, peer)) {
    admission.refusal = "not in ALLOW";
    return admission;
  }
  admission.admitted = int(taken.size()) < maxClients;
  if (admission.admitted) return admission;
  admission.evict = IdlestOfThoseThatMayGiveWay(taken);
  if (admission.evict >= 0) {
    admission.admitted = true;
    admission.evicted = "it held a place with nothing in hand while " + kdt::IPToStr(peer) +
                        " waits, and all " + std::to_string(maxClients) + " were taken";
    return admission;
  }
  const int half = std::max(1, maxClients / 2);
  std::map<std::uint32_t, int> held;
  for (const ClientPlace& place : taken) ++held[place.host];
  if (held[peer] < half) {
    for (std::size_t i = 0; i < taken.size(); ++i) {
      if (held[taken[i].host] > half &&
          (admission.evict < 0 ||
           taken[i].lastActive < taken[std::size_t(admission.evict)].lastActive)) {
        admission.evict = int(i);
      }
    }
  }
  if (admission.evict < 0) {
    admission.refusal = "MAXCLIENTS (" + std::to_string(maxClients) + ") reached";
    return admission;
  }
  admission.admitted = true;
  admission.evicted = "its host holds " +
                      std::to_string(held[taken[std::size_t(admission.evict)].host]) + " of the " +
                      std::to_string(maxClients) + " places while " + kdt::IPToStr(peer) + " waits";
  return admission;
}

}  // namespace bridge
