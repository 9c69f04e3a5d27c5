#include "CommandQueue.h"

#include <algorithm>

namespace bridge {
namespace {

// What a command sets: its code and relay.
bool SameTarget(const kdt::Frame& a, const kdt::Frame& b) {
  kdt::ClientFrame x, y;
  return kdt::ReadClientFrame(a, x) && kdt::ReadClientFrame(b, y) && x.code == y.code &&
         x.relay == y.relay;
}

}  // namespace

CommandSource NewCommandSource() {
  static CommandSource last = 0;
  return ++last;
}

Submitted CommandQueue::Add(QueuedCommand command, bool newestWins) {
  auto turn = std::find_if(turns_.begin(), turns_.end(),
                           [&](const Waiting& w) { return w.source == command.source; });
  if (newestWins && turn != turns_.end()) {
    for (QueuedCommand& waiting : turn->commands) {
      if (!SameTarget(waiting.frame, command.frame)) continue;
      std::swap(waiting, command);
      if (command.done) command.done(nullptr);
      return Submitted::kReplaced;
    }
  }
  if (size_ >= kMostWaiting) return Submitted::kQueueFull;
  if (turn == turns_.end()) turn = turns_.insert(turns_.end(), Waiting{command.source, {}});
  turn->commands.push_back(std::move(command));
  ++size_;
  return Submitted::kQueued;
}

QueuedCommand CommandQueue::Take() {
  Waiting& first = turns_.front();
  QueuedCommand command = std::move(first.commands.front());
  first.commands.pop_front();
  --size_;
  if (first.commands.empty()) {
    turns_.pop_front();
  } else {
    turns_.splice(turns_.end(), turns_, turns_.begin());  // its next one after the others'
  }
  return command;
}

std::vector<QueuedCommand> CommandQueue::TakeAll() {
  std::vector<QueuedCommand> all;
  for (Waiting& waiting : turns_) {
    for (QueuedCommand& command : waiting.commands) all.push_back(std::move(command));
  }
  turns_.clear();
  size_ = 0;
  return all;
}

}  // namespace bridge
