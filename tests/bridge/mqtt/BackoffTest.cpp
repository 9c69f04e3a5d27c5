// When the bridge tries a connection again, and when it says a thing is down.
#include "mqtt/Backoff.h"

#include <gtest/gtest.h>

#include "core/DownNotice.h"

namespace {

using namespace std::chrono_literals;

// Each delay within a quarter of its step either way.
void ExpectAbout(std::chrono::milliseconds delay, std::chrono::milliseconds step) {
  EXPECT_GE(delay, step * 3 / 4);
  EXPECT_LE(delay, step * 5 / 4);
}

TEST(Backoff, OneSecondDoublingToThirty) {
  bridge::Backoff backoff;
  for (auto step : {1s, 2s, 4s, 8s, 16s, 30s, 30s}) ExpectAbout(backoff.Next(), step);
}

// A connection that a server ends at once (two clients with one id) does not
// start the back-off again; one that held for 30 s does.
TEST(Backoff, StartsAgainOnlyAfterAConnectionHeld) {
  const bridge::Backoff::Clock::time_point start{};
  bridge::Backoff backoff;
  for (int i = 0; i < 4; ++i) backoff.Next();  // 1, 2, 4, 8
  backoff.Connected(start);
  EXPECT_FALSE(backoff.Ended(start + 29s));
  ExpectAbout(backoff.Next(), 16s);
  backoff.Connected(start + 60s);
  EXPECT_TRUE(backoff.Ended(start + 90s));
  ExpectAbout(backoff.Next(), 1s);
  ExpectAbout(backoff.Next(), 2s);
}

// One line when it goes, a reminder every 10 minutes, nothing between.
TEST(DownNotice, OneLineThenAReminderEveryTenMinutes) {
  using Say = bridge::DownNotice::Say;
  const bridge::DownNotice::Clock::time_point start{};
  bridge::DownNotice down;
  EXPECT_EQ(down.Failed(start), Say::kFirst);
  EXPECT_EQ(down.Failed(start + 1s), Say::kNothing);
  EXPECT_EQ(down.Failed(start + 9min + 59s), Say::kNothing);
  EXPECT_EQ(down.Failed(start + 10min), Say::kReminder);
  EXPECT_EQ(down.Failed(start + 19min), Say::kNothing);
  EXPECT_EQ(down.Failed(start + 20min), Say::kReminder);
  down.Up();
  EXPECT_FALSE(down.Down());
  EXPECT_EQ(down.Failed(start + 21min), Say::kFirst);  // gone again: a first line
}

// The same rule, as the line to log.
TEST(DownNotice, TheLineItCallsFor) {
  const bridge::DownNotice::Clock::time_point start{};
  bridge::DownNotice down;
  EXPECT_EQ(down.Line("gone", "still gone", start), "gone");
  EXPECT_EQ(down.Line("gone", "still gone", start + 1min), std::nullopt);
  EXPECT_EQ(down.Line("gone", "still gone", start + 10min), "still gone");
}

}  // namespace
