// The page's sessions and its login throttle, on a clock of the test's own.
#include "web/Sessions.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

const Clock::time_point kStart{hours(100)};

// Five failures from one address within a minute refuse its logins until a
// minute has passed since the first of them; another address is not held.
TEST(LoginThrottle, FiveFailuresWithinAMinuteRefuseThatAddressForTheRestOfIt) {
  struct Step {
    int atSeconds;
    const char* address;
    bool fails;         // a failed login at this time, or only a look
    bool starts;        // the failure that starts the refusal
    bool refusedAfter;  // whether the address is refused then
  };
  const Step steps[] = {
      {0, "10.0.0.1", true, false, false},
      {10, "10.0.0.1", true, false, false},
      {20, "10.0.0.1", true, false, false},
      {30, "10.0.0.1", true, false, false},
      {30, "10.0.0.2", true, false, false},
      {40, "10.0.0.1", true, true, true},
      {41, "10.0.0.2", false, false, false},
      {59, "10.0.0.1", false, false, true},
      // The first failure is a minute old: four remain, and a fifth refuses
      // again at once.
      {60, "10.0.0.1", false, false, false},
      {61, "10.0.0.1", true, true, true},
      // Long after, all forgotten.
      {200, "10.0.0.1", false, false, false},
  };
  bridge::LoginThrottle throttle;
  for (const Step& step : steps) {
    const Clock::time_point now = kStart + seconds(step.atSeconds);
    if (step.fails) {
      ASSERT_FALSE(throttle.Begin(step.address, "alice", now).refused) << step.atSeconds;
      EXPECT_EQ(throttle.End(step.address, "alice", true, now), step.starts) << step.atSeconds;
    }
    EXPECT_EQ(throttle.Refused(step.address, now), step.refusedAfter)
        << step.address << " at " << step.atSeconds << " s";
  }
}

// Logins sent at once count as failures while they are checked: a sixth
// is refused before any of the five is known; one never checked frees its
// place, one that succeeds is no failure.
TEST(LoginThrottle, LoginsBeingCheckedCountAgainstTheAddress) {
  bridge::LoginThrottle throttle;
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(throttle.Begin("10.0.0.1", "name" + std::to_string(i), kStart).refused) << i;
  }
  EXPECT_TRUE(throttle.Begin("10.0.0.1", "alice", kStart).refused);
  EXPECT_FALSE(throttle.Begin("10.0.0.2", "alice", kStart).refused);
  throttle.Cancel("10.0.0.1", "name0");
  throttle.End("10.0.0.1", "name1", false, kStart);
  EXPECT_FALSE(throttle.Refused("10.0.0.1", kStart));
  ASSERT_FALSE(throttle.Begin("10.0.0.1", "alice", kStart).refused);
  ASSERT_FALSE(throttle.Begin("10.0.0.1", "alice", kStart).refused);
  EXPECT_TRUE(throttle.Refused("10.0.0.1", kStart));
  for (const char* name : {"name2", "name3", "name4", "alice"}) {
    throttle.End("10.0.0.1", name, true, kStart);
  }
  EXPECT_TRUE(throttle.Refused("10.0.0.1", kStart + seconds(59)));  // four failures, one checking
  throttle.End("10.0.0.1", "alice", true, kStart + seconds(1));
  EXPECT_TRUE(throttle.Refused("10.0.0.1", kStart + seconds(59)));
  EXPECT_FALSE(throttle.Refused("10.0.0.1", kStart + seconds(61)));
}

// A name that failed 5 times within a minute, from anywhere, names made up
// included, is checked after a second's wait: however many try it at
// once, nobody waits longer, and nobody is refused for it.
TEST(LoginThrottle, ANameUnderAttackWaitsASecond) {
  bridge::LoginThrottle throttle;
  for (int i = 0; i < 5; ++i) {
    const std::string address = "10.0.0." + std::to_string(i + 1);
    EXPECT_EQ(throttle.Begin(address, "mallory", kStart).wait, seconds(0));
    throttle.End(address, "mallory", true, kStart);
  }
  for (int i = 0; i < 3; ++i) {
    const bridge::LoginThrottle::Turn turn = throttle.Begin("10.0.1.1", "mallory", kStart);
    EXPECT_FALSE(turn.refused) << i;
    EXPECT_EQ(turn.wait, seconds(1)) << i;
  }
  EXPECT_EQ(throttle.Begin("10.0.1.2", "bob", kStart).wait, seconds(0));
  EXPECT_EQ(throttle.Begin("10.0.1.3", "mallory", kStart + minutes(1)).wait, seconds(0));
}

bridge::WebUser User(const std::string& name, bridge::Role role, const std::string& hash) {
  return {name, role, hash};
}

// The sessions' clock is the wall's; a digest of the test's own stands
// for SHA-256.
using Wall = bridge::WebSessions::Clock;
const Wall::time_point kWall{hours(500000)};

std::string Digest(std::string_view text) {
  return "digest " + std::to_string(std::hash<std::string_view>{}(text));
}

// A session lasts 8 hours, ends at its logout, and with its user's removal
// or new password; a changed role applies at once. Why it ended is kept for
// its page.
TEST(WebSessions, WhatEndsASessionAndWhatDoesNot) {
  const std::vector<bridge::WebUser> users = {User("alice", bridge::Role::kOperate, "$y$a"),
                                              User("bob", bridge::Role::kView, "$y$b")};
  bridge::WebSessions sessions(Digest);
  const bridge::WebSessions::Opened alice = sessions.Open(users[0], kWall);
  const bridge::WebSessions::Opened bob = sessions.Open(users[1], kWall);
  EXPECT_NE(alice.token, bob.token);
  EXPECT_EQ(alice.token.size(), 64u);  // 32 random bytes
  EXPECT_EQ(alice.key, sessions.KeyOf(alice.token));
  EXPECT_NE(alice.key, alice.token);

  struct Case {
    const char* what;
    std::string key;
    Wall::time_point at;
    std::vector<bridge::WebUser> users;
    bool live;
    const char* ended;
  };
  const std::vector<bridge::WebUser> aliceAdmin = {User("alice", bridge::Role::kAdmin, "$y$a")};
  const std::vector<bridge::WebUser> alicePassword = {
      User("alice", bridge::Role::kOperate, "$y$x")};
  const Case cases[] = {
      {"a key no session has", sessions.KeyOf(std::string(64, '0')), kWall, users, false, ""},
      {"within 8 hours", alice.key, kWall + hours(8) - seconds(1), users, true, ""},
      {"a role changed", alice.key, kWall + hours(1), aliceAdmin, true, ""},
      {"the password changed", alice.key, kWall + hours(1), alicePassword, false,
       "the users file changed"},
      {"after 8 hours", bob.key, kWall + hours(8), users, false,
       "8 hours have passed since you logged in"},
  };
  for (const Case& c : cases) {
    const std::optional<bridge::WebUser> user = sessions.Find(c.key, c.users, c.at);
    EXPECT_EQ(user.has_value(), c.live) << c.what;
    if (user) {
      EXPECT_EQ(user->role, c.users[0].role) << c.what;
    }
    EXPECT_EQ(sessions.EndOf(c.key), c.ended) << c.what;
  }
}

// A session ends at 8 hours without anyone asking for it, so that its
// event stream ends with it.
TEST(WebSessions, SessionsEndAtEightHoursOfThemselves) {
  const bridge::WebUser alice = User("alice", bridge::Role::kOperate, "$y$a");
  bridge::WebSessions sessions(Digest);
  EXPECT_FALSE(sessions.NextEnd());
  const std::string first = sessions.Open(alice, kWall).key;
  const std::string second = sessions.Open(alice, kWall + hours(1)).key;
  EXPECT_EQ(sessions.NextEnd(), kWall + hours(8));
  EXPECT_TRUE(sessions.EndExpired(kWall + hours(8) - minutes(1)).empty());
  EXPECT_EQ(sessions.EndExpired(kWall + hours(8)), std::vector<std::string>{first});
  EXPECT_EQ(sessions.NextEnd(), kWall + hours(9));
  EXPECT_TRUE(sessions.Find(second, {alice}, kWall + hours(8)));
}

TEST(WebSessions, AReloadEndsTheSessionsOfUsersRemovedOrChanged) {
  const bridge::WebUser alice = User("alice", bridge::Role::kOperate, "$y$a");
  const bridge::WebUser bob = User("bob", bridge::Role::kOperate, "$y$b");
  const bridge::WebUser carol = User("carol", bridge::Role::kAdmin, "$y$c");
  bridge::WebSessions sessions(Digest);
  const std::string a1 = sessions.Open(alice, kWall).key, a2 = sessions.Open(alice, kWall).key;
  const std::string b = sessions.Open(bob, kWall).key, c = sessions.Open(carol, kWall).key;
  const bridge::WebUser carolAsView = User("carol", bridge::Role::kView, "$y$c");
  const bridge::WebUser bobNewPassword = User("bob", bridge::Role::kOperate, "$y$B");
  std::vector<std::string> ended = sessions.Keep({bobNewPassword, carolAsView});
  std::sort(ended.begin(), ended.end());
  EXPECT_EQ(ended, (std::vector<std::string>{"alice", "bob"}));  // each named once
  const std::vector<bridge::WebUser> now = {bobNewPassword, carolAsView};
  EXPECT_FALSE(sessions.Find(a1, now, kWall));
  EXPECT_FALSE(sessions.Find(a2, now, kWall));
  EXPECT_FALSE(sessions.Find(b, now, kWall));
  ASSERT_TRUE(sessions.Find(c, now, kWall));
  sessions.Close(c);
  EXPECT_FALSE(sessions.Find(c, now, kWall));
  EXPECT_EQ(sessions.EndOf(c), "you logged out");
}

// Kept in a file of the state directory: a restart keeps every live
// session, and the file holds no token, nor a password's hash.
TEST(WebSessions, ARestartKeepsTheSessionsAndTheFileHoldsNoSecret) {
  char pattern[] = "/tmp/kdt-sessions-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string path = std::string(pattern) + "/sessions";
  const bridge::WebUser alice = User("alice", bridge::Role::kOperate, "$y$secret-hash");
  std::string token, old;
  {
    bridge::WebSessions before(Digest);
    EXPECT_EQ(before.KeepIn(path, kWall), "");
    token = before.Open(alice, kWall).token;
    old = before.Open(alice, kWall - hours(7)).token;
  }
  std::stringstream file;
  file << std::ifstream(path).rdbuf();
  EXPECT_EQ(file.str().find(token), std::string::npos);
  EXPECT_EQ(file.str().find("$y$secret-hash"), std::string::npos);
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  bridge::WebSessions after(Digest);
  EXPECT_EQ(after.KeepIn(path, kWall + hours(2)), "");
  EXPECT_TRUE(after.Find(after.KeyOf(token), {alice}, kWall + hours(2)));
  EXPECT_FALSE(after.Find(after.KeyOf(old), {alice}, kWall + hours(2)));  // past its 8 hours
  std::filesystem::remove_all(pattern);
}

}  // namespace
