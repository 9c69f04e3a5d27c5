// Who may connect to what the bridge serves: a network that ALLOW names, a
// place among MAXCLIENTS, or one that a host holding more than half the
// places gives up, its idlest, for another host.
#include "core/ClientGate.h"

#include <gtest/gtest.h>

#include <vector>

#include "UnitProcIP.h"

namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t Host(const char* address) {
  return kdt::StrToIP(address);
}

// A place of `address`, last active `secondsAgo` before now, holding a
// request (or a stream) in hand, or nothing, so that it may give way.
bridge::ClientPlace Place(const char* address, int secondsAgo, bool mayGiveWay = false) {
  const Clock::time_point now{std::chrono::hours(1)};
  return {Host(address), now - std::chrono::seconds(secondsAgo), mayGiveWay};
}

bridge::ClientPlace Idle(const char* address, int secondsAgo) {
  return Place(address, secondsAgo, true);
}

TEST(ClientGate, TheOneRuleOfAdmission) {
  const std::vector<bridge::Cidr> loopback = {bridge::kLoopback};
  struct Case {
    const char* what;
    int maxClients;
    const char* peer;
    std::vector<bridge::ClientPlace> taken;
    bool admitted;
    int evict;
    const char* refusal;
  };
  const Case cases[] = {
      {"outside ALLOW", 4, "10.0.0.1", {}, false, -1, "not in ALLOW"},
      {"a place free", 2, "127.0.0.2", {Place("127.0.0.1", 5)}, true, -1, ""},
      {"one host may hold every place while nobody else wants one",
       2,
       "127.0.0.1",
       {Place("127.0.0.1", 5)},
       true,
       -1,
       ""},
      {"full, and the asking host holds half already",
       4,
       "127.0.0.1",
       {Place("127.0.0.1", 1), Place("127.0.0.1", 2), Place("127.0.0.2", 3), Place("127.0.0.2", 4)},
       false,
       -1,
       "MAXCLIENTS (4) reached"},
      {"full, two hosts half each: nobody gives way",
       4,
       "127.0.0.3",
       {Place("127.0.0.1", 1), Place("127.0.0.1", 2), Place("127.0.0.2", 3), Place("127.0.0.2", 4)},
       false,
       -1,
       "MAXCLIENTS (4) reached"},
      {"full, a host over half gives up its idlest",
       4,
       "127.0.0.3",
       {Place("127.0.0.1", 1), Place("127.0.0.1", 9), Place("127.0.0.1", 3),
        Place("127.0.0.2", 20)},
       true,
       1,
       ""},
      {"one place, held: never taken from its holder",
       1,
       "127.0.0.2",
       {Place("127.0.0.1", 60)},
       false,
       -1,
       "MAXCLIENTS (1) reached"},
      {"full, two hosts half each, idle: the idlest gives way to anyone",
       4,
       "127.0.0.3",
       {Idle("127.0.0.1", 1), Idle("127.0.0.1", 7), Idle("127.0.0.2", 3), Idle("127.0.0.2", 4)},
       true,
       1,
       ""},
      {"full, and only the asking host's own is idle: it gives way too",
       2,
       "127.0.0.1",
       {Place("127.0.0.2", 1), Idle("127.0.0.1", 2)},
       true,
       1,
       ""},
      {"an idle place goes before a busy one of a host over half",
       4,
       "127.0.0.3",
       {Place("127.0.0.1", 50), Place("127.0.0.1", 40), Place("127.0.0.1", 30),
        Idle("127.0.0.2", 1)},
       true,
       3,
       ""},
      {"three places: half is one, and a host holding two gives one up",
       3,
       "127.0.0.3",
       {Place("127.0.0.1", 8), Place("127.0.0.2", 30), Place("127.0.0.1", 2)},
       true,
       0,
       ""},
  };
  for (const Case& c : cases) {
    const bridge::Admission admission =
        bridge::AdmitClient(loopback, c.maxClients, Host(c.peer), c.taken);
    EXPECT_EQ(admission.admitted, c.admitted) << c.what;
    EXPECT_EQ(admission.evict, c.evict) << c.what;
    EXPECT_EQ(admission.refusal, c.refusal) << c.what;
    EXPECT_EQ(admission.evicted.empty(), c.evict < 0) << c.what;
  }
}

TEST(ClientGate, AnIdleClientIsToldWhyItGaveWay) {
  const bridge::Admission admission = bridge::AdmitClient(
      {bridge::kLoopback}, 2, Host("127.0.0.3"), {Idle("127.0.0.1", 1), Idle("127.0.0.2", 2)});
  ASSERT_TRUE(admission.admitted);
  EXPECT_EQ(admission.evict, 1);
  EXPECT_EQ(admission.evicted,
            "it held a place with nothing in hand while 127.0.0.3 waits, and all 2 were taken");
}

TEST(ClientGate, TheEvictedClientIsToldWhy) {
  const bridge::Admission admission = bridge::AdmitClient(
      {bridge::kLoopback}, 2, Host("127.0.0.2"), {Place("127.0.0.1", 1), Place("127.0.0.1", 2)});
  ASSERT_TRUE(admission.admitted);
  EXPECT_EQ(admission.evict, 1);
  EXPECT_EQ(admission.evicted, "its host holds 2 of the 2 places while 127.0.0.2 waits");
}

}  // namespace
