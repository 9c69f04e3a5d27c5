// When to try a connection again: 1 s after the first failure, doubling to
// 30 s, each delay within a quarter either way (jitter), so that many
// clients that lost one server do not all come back at once. It starts
// again from 1 s only once a connection has held for 30 s: one that a
// server keeps ending at once (two clients with one id, which a broker
// exchanges for each other) is not tried again every second for ever.
// Free of Qt; the clock is the caller's.
#pragma once

#include <chrono>
#include <random>

namespace bridge {

class Backoff {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFirst{1000};
  static constexpr std::chrono::milliseconds kLongest{30000};
  static constexpr std::chrono::milliseconds kSteady{30000};

  // The delay before the next attempt, after one failed or a connection ended.
  std::chrono::milliseconds Next();
  void Connected(Clock::time_point now = Clock::now()) { connectedAt_ = now; }
  // The connection has ended: held long enough, the back-off starts again.
  // True when it had held that long.
  bool Ended(Clock::time_point now = Clock::now());

 private:
  std::chrono::milliseconds next_ = kFirst;
  Clock::time_point connectedAt_{};
  std::mt19937 random_{std::random_device{}()};
};

}  // namespace bridge
