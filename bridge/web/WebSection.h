// The bridge's page and its HTTP interface: the [HTTP] section, with the
// users file it names (Users.h). Without USERS the page takes no login, and
// may listen on a loopback address only. Free of Qt.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/BridgeConfig.h"
#include "web/Users.h"

namespace bridge {

constexpr int kDefaultWebClients = 64;

struct HttpConfig : FaceSettings {
  Endpoint listen;
  std::vector<Cidr> allow;         // who may connect; loopback unless given
  std::vector<Cidr> proxies;       // whose X-Forwarded-For is believed; nobody's unless given
  std::vector<std::string> hosts;  // the names it is reached by, beside its address
  std::string usersFile;           // empty: no login, and loopback only
  std::vector<WebUser> users;      // read from it
  std::string certFile, keyFile;   // both: HTTPS
  int maxClients = kDefaultWebClients;

  bool operator==(const HttpConfig& other) const;
  // The same listener: its address and its TLS.
  bool SameListener(const HttpConfig& other) const;
  std::string Describe() const override;
  int Descriptors() const override { return 1 + maxClients; }
  std::optional<Listening> Listens() const override { return Listening{"LISTEN", listen}; }
};

// [HTTP]; nullptr with the fault in the checker.
std::shared_ptr<const FaceSettings> ReadHttpSection(const SectionView& section, Checker& checker);

}  // namespace bridge
