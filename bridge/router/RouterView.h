// A unit as a router control protocol sees it: a router of 2 sources
// (INPUT 1, INPUT 2: their labels) and 3 destinations (RELAY A, B, C: what
// each is routed from, its name, and what holds it), present or not. While
// the unit is down its destinations keep what was last known, so that a
// controller still shows them. Free of Qt.
#pragma once

#include <array>
#include <string>

#include "config/UnitConfig.h"

namespace bridge {

constexpr int kRouterSources = 2;
constexpr int kRouterDestinations = 3;

struct RouterDestination {
  int source = 0;           // 1 or 2; 0 while not known
  std::string name;         // UTF-8, its control characters escaped
  std::string protectedBy;  // the owner's text (Owner.h); empty: nobody
  bool lockedAtUnit = false;
  bool operator==(const RouterDestination&) const = default;
};

struct RouterView {
  bool present = false;  // the unit is connected
  InputLabels sources = kDefaultInputLabels;
  std::array<RouterDestination, kRouterDestinations> destinations;
  bool operator==(const RouterView&) const = default;
};

// How a client sees a destination's lock: protected by itself (by its
// owner), held by anyone else or locked at the unit, or free.
enum class LockSeen { kOwn, kLocked, kFree };
LockSeen LockAsSeen(const RouterDestination& destination, const std::string& owner);

}  // namespace bridge
