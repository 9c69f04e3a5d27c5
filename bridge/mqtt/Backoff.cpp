#include "mqtt/Backoff.h"

#include <algorithm>

namespace bridge {

std::chrono::milliseconds Backoff::Next() {
  const auto ms = next_.count();
  next_ = std::min(next_ * 2, kLongest);
  return std::chrono::milliseconds(
      std::uniform_int_distribution<long long>(ms * 3 / 4, ms * 5 / 4)(random_));
}

bool Backoff::Ended(Clock::time_point now) {
  const bool steady = now - connectedAt_ >= kSteady;
  if (steady) next_ = kFirst;
  return steady;
}

}  // namespace bridge
