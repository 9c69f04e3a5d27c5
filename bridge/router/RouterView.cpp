#include "router/RouterView.h"

namespace bridge {

LockSeen LockAsSeen(const RouterDestination& destination, const std::string& owner) {
  if (!destination.protectedBy.empty()) {
    return destination.protectedBy == owner ? LockSeen::kOwn : LockSeen::kLocked;
  }
  return destination.lockedAtUnit ? LockSeen::kLocked : LockSeen::kFree;
}

}  // namespace bridge
