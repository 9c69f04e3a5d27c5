// The rule for whatever stays down (a unit, the broker, a LISTEN address,
// taking clients): one line when it goes, then nothing per attempt, only a
// reminder every 10 minutes while it stays down. Free of Qt; the clock is
// the caller's.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace bridge {

class DownNotice {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::minutes kReminderPeriod{10};
  enum class Say { kNothing, kFirst, kReminder };

  // An attempt failed: what to log.
  Say Failed(Clock::time_point now = Clock::now());
  // The same, as the line itself: `first` when it has just gone down,
  // `reminder` when one is due, nothing otherwise.
  std::optional<std::string> Line(std::string first, std::string reminder,
                                  Clock::time_point now = Clock::now());
  // It is back (or never went): the next failure is a first one again.
  void Up() { down_ = false; }
  bool Down() const { return down_; }

 private:
  bool down_ = false;
  Clock::time_point said_;
};

}  // namespace bridge
