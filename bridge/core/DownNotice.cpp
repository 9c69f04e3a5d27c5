#include "core/DownNotice.h"

namespace bridge {

DownNotice::Say DownNotice::Failed(Clock::time_point now) {
  if (!down_) {
    down_ = true;
    said_ = now;
    return Say::kFirst;
  }
  if (now - said_ < kReminderPeriod) return Say::kNothing;
  said_ = now;
  return Say::kReminder;
}

std::optional<std::string> DownNotice::Line(std::string first, std::string reminder,
                                            Clock::time_point now) {
  switch (Failed(now)) {
    case Say::kFirst:
      return first;
    case Say::kReminder:
      return reminder;
    case Say::kNothing:
      break;
  }
  return std::nullopt;
}

}  // namespace bridge
