// Commands for one unit from everyone who shares it, waiting for the
// session, which takes one at a time. Each source (a client of the
// endpoint, the hub, a user of the page, a take) has its commands go in the
// order it sent them; the sources take turns, so that a flood from one never
// makes another wait behind it. A command whose newest value wins (the
// hub's) takes the place of one of its source for the same relay and kind
// that has not gone yet. The queue as a whole is bounded. Free of Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <vector>

#include "UnitFrames.h"
#include "core/Command.h"

namespace bridge {

struct QueuedCommand {
  Command command;
  // Called once: with the unit's reply to it, or with nothing when it never
  // reached the unit (the connection ended, or a newer one replaced it).
  std::function<void(const kdt::ReplyBytes* reply)> answered;
  // Its sender's, to withdraw it by while it waits; 0: never withdrawn.
  std::uint64_t id = 0;
};

class CommandQueue {
 public:
  // More than any site sends at once, and few enough to go in moments.
  static constexpr std::size_t kMostWaiting = 256;

  enum class Added {
    kQueued,
    kReplaced,  // it took the place of an older one of its source
    kFull,      // not queued: too many wait
  };
  Added Add(QueuedCommand queued);
  bool Empty() const { return turns_.empty(); }
  std::size_t Size() const { return size_; }
  // The next one in turn; the queue must not be empty.
  QueuedCommand Take();
  // Takes out the command of that id, if it still waits; its `answered`
  // is not called.
  bool Withdraw(std::uint64_t id);
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
