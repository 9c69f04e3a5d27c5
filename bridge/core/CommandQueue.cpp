#include "core/CommandQueue.h"

#include <algorithm>

namespace bridge {

CommandQueue::Added CommandQueue::Add(QueuedCommand queued) {
  const Command& command = queued.command;
  auto turn = std::find_if(turns_.begin(), turns_.end(),
                           [&](const Waiting& w) { return w.source == command.source; });
  if (command.until == Command::Until::kNewestWins && turn != turns_.end()) {
    for (QueuedCommand& waiting : turn->commands) {
      if (!waiting.command.SameTarget(command)) continue;
      std::swap(waiting, queued);
      if (queued.answered) queued.answered(nullptr);
      return Added::kReplaced;
    }
  }
  if (size_ >= kMostWaiting) return Added::kFull;
  if (turn == turns_.end()) turn = turns_.insert(turns_.end(), Waiting{command.source, {}});
  turn->commands.push_back(std::move(queued));
  ++size_;
  return Added::kQueued;
}

QueuedCommand CommandQueue::Take() {
  Waiting& first = turns_.front();
  QueuedCommand queued = std::move(first.commands.front());
  first.commands.pop_front();
  --size_;
  if (first.commands.empty()) {
    turns_.pop_front();
  } else {
    turns_.splice(turns_.end(), turns_, turns_.begin());  // its next one after the others'
  }
  return queued;
}

bool CommandQueue::Withdraw(std::uint64_t id) {
  if (id == 0) return false;
  for (auto turn = turns_.begin(); turn != turns_.end(); ++turn) {
    const auto found = std::find_if(turn->commands.begin(), turn->commands.end(),
                                    [id](const QueuedCommand& queued) { return queued.id == id; });
    if (found == turn->commands.end()) continue;
    turn->commands.erase(found);
    --size_;
    if (turn->commands.empty()) turns_.erase(turn);
    return true;
  }
  return false;
}

std::vector<QueuedCommand> CommandQueue::TakeAll() {
  std::vector<QueuedCommand> all;
  for (Waiting& waiting : turns_) {
    for (QueuedCommand& queued : waiting.commands) all.push_back(std::move(queued));
  }
  turns_.clear();
  size_ = 0;
  return all;
}

}  // namespace bridge
