#include "DownNotice.h"

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

}  // namespace bridge
