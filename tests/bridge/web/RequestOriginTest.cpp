// Whom a request comes from behind a proxy, and whether it is for this
// bridge at all.
#include "web/RequestOrigin.h"

#include <gtest/gtest.h>

#include "UnitProcIP.h"

namespace {

std::uint32_t Address(const char* text) {
  return kdt::StrToIP(text);
}

TEST(RequestOrigin, TheClientBehindTrustedProxies) {
  std::vector<bridge::Cidr> proxies;
  std::string reason;
  ASSERT_TRUE(bridge::ReadCidrList("127.0.0.1,10.1.0.0/16", proxies, reason)) << reason;
  struct Case {
    const char* what;
    const char* peer;
    const char* forwardedFor;
    const char* client;
  };
  const Case cases[] = {
      {"a client of its own: the list is not believed", "192.0.2.9", "198.51.100.1", "192.0.2.9"},
      {"through a proxy", "127.0.0.1", "198.51.100.1", "198.51.100.1"},
      {"a forged entry on the left changes nothing", "127.0.0.1", "203.0.113.5, 198.51.100.1",
       "198.51.100.1"},
      {"through two proxies", "127.0.0.1", "198.51.100.1, 10.1.2.3", "198.51.100.1"},
      {"a proxy that passes nobody on", "127.0.0.1", "", "127.0.0.1"},
      {"what is not an address leaves the proxy answering", "127.0.0.1", "198.51.100.1, unknown",
       "127.0.0.1"},
      {"nor is an address with a port", "127.0.0.1", "198.51.100.1:4000", "127.0.0.1"},
      {"only proxies: the farthest", "127.0.0.1", "10.1.0.7", "10.1.0.7"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kdt::IPToStr(bridge::ClientBehind(Address(c.peer), c.forwardedFor, proxies)),
              c.client)
        << c.what;
  }
  EXPECT_EQ(kdt::IPToStr(bridge::ClientBehind(Address("127.0.0.1"), "198.51.100.1", {})),
            "127.0.0.1")
      << "no PROXY: nobody is believed";
}

TEST(RequestOrigin, TheNamesTheBridgeIsReachedBy) {
  const std::vector<std::string> names = {"kdt.example.org", "Studio-Bridge"};
  struct Case {
    const char* host;
    const char* local;
    bool accepted;
  };
  const Case cases[] = {
      {"127.0.0.1:8212", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.2:8212", "127.0.0.1", false},
      {"localhost:8212", "127.0.0.1", true},
      {"LOCALHOST", "127.0.0.1", true},
      {"localhost", "192.168.1.5", false},
      {"192.168.1.5", "192.168.1.5", true},
      {"kdt.example.org", "192.168.1.5", true},
      {"KDT.example.org.:443", "192.168.1.5", true},
      {"studio-bridge", "192.168.1.5", true},
      {"evil.example:8212", "127.0.0.1", false},
      {"kdt.example.org.evil.example", "192.168.1.5", false},
      {"kdt.example.org:x", "192.168.1.5", false},
      {"", "127.0.0.1", false},
      {":8212", "127.0.0.1", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bridge::HostAccepted(c.host, Address(c.local), names), c.accepted)
        << "Host: " << c.host << " at " << c.local;
  }
}

}  // namespace
