// Commands for one unit from everyone who shares it, waiting for the
// session, which takes one at a time. Each source (a client of the
// endpoint, MQTT, a user of the page) has its commands go in the order it
// sent them; the sources take turns, so that a flood from one never makes
// another wait behind it. A source that gives the newest value of what it
// sets (MQTT) has at most one command waiting per relay and kind: a newer
// one takes the place of one not yet sent. The queue as a whole is bounded.
// Free of Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "UnitFrames.h"

namespace bridge {

// Who sent a command: never reused while the bridge runs.
using CommandSource = std::uint64_t;
CommandSource NewCommandSource();

// What became of a command handed to a unit.
enum class Submitted {
  kQueued,
  kReplaced,   // it took the place of an older one of its source that waited
  kUnitDown,   // not queued: the unit is not live
  kQueueFull,  // not queued: too many wait
  kProtected,  // not queued: the relay is protected by someone else (Protects.h)
};

struct QueuedCommand {
  CommandSource source = 0;
  kdt::Frame frame;  // a command frame that ReadClientFrame takes
  // Called once: with the unit's reply to it, or with nothing when it never
  // reached the unit (the connection ended, or a newer one replaced it).
  std::function<void(const kdt::ReplyBytes* reply)> done;
  // Who it is, for the record of who switched what: "mqtt", "web alice",
  // "client 127.0.0.1:40000".
  std::string by;
  // Whose protects it passes: "web alice", "mqtt"; empty for whoever may
  // hold none (a client of the endpoint).
  std::string owner;
};

class CommandQueue {
 public:
  // More than any site sends at once, and few enough to go in moments.
  static constexpr std::size_t kMostWaiting = 256;

  // `newestWins`: a command of the same source, relay and kind that still
  // waits is replaced (its `done` called with nothing). kQueued, kReplaced
  // or kQueueFull.
  Submitted Add(QueuedCommand command, bool newestWins);
  bool Empty() const { return turns_.empty(); }
  std::size_t Size() const { return size_; }
  // The next one in turn; the queue must not be empty.
  QueuedCommand Take();
  // Everything waiting, in no particular order: the connection has ended.
  std::vector<QueuedCommand> TakeAll();

 private:
  struct Waiting {
    CommandSource source;
    std::deque<QueuedCommand> commands;
  };
  std::list<Waiting> turns_;  // sources with something waiting, next in turn first
  std::size_t size_ = 0;
};

}  // namespace bridge
