// The queue of commands that everyone who shares a unit sends it.
#include "CommandQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bridge::CommandQueue;
using bridge::QueuedCommand;
using bridge::Submitted;

QueuedCommand Input(bridge::CommandSource source, int input, int relay,
                    std::vector<std::string>* ended = nullptr, std::string tag = {}) {
  QueuedCommand command{source, kdt::SetInputFrame(std::uint8_t(input), std::uint8_t(relay)),
                        nullptr, "test", ""};
  if (ended != nullptr) {
    command.done = [ended, tag](const kdt::ReplyBytes* reply) {
      ended->push_back(tag + (reply == nullptr ? " never sent" : " answered"));
    };
  }
  return command;
}

// Sources take turns: one that sent many does not keep another waiting.
TEST(CommandQueue, SourcesTakeTurnsEachInItsOwnOrder) {
  CommandQueue queue;
  constexpr bridge::CommandSource kFlood = 1, kClient = 2, kOther = 3;
  for (int i = 0; i < 5; ++i) queue.Add(Input(kFlood, 1 + i % 2, 1), false);
  queue.Add(Input(kClient, 2, 2), false);
  queue.Add(Input(kOther, 2, 3), false);
  queue.Add(Input(kClient, 1, 2), false);
  std::vector<bridge::CommandSource> order;
  while (!queue.Empty()) order.push_back(queue.Take().source);
  EXPECT_EQ(order, (std::vector<bridge::CommandSource>{kFlood, kClient, kOther, kFlood, kClient,
                                                       kFlood, kFlood, kFlood}));
}

// The newest value wins for a source that asks so: one command per relay
// and kind waits, the one it replaced is told it never went.
TEST(CommandQueue, TheNewestCommandForARelayReplacesOneThatWaits) {
  CommandQueue queue;
  std::vector<std::string> ended;
  EXPECT_EQ(queue.Add(Input(1, 2, 3, &ended, "A2"), true), Submitted::kQueued);
  EXPECT_EQ(queue.Add(Input(1, 1, 3, &ended, "A1"), true), Submitted::kReplaced);
  EXPECT_EQ(queue.Add(Input(1, 2, 2, &ended, "B2"), true), Submitted::kQueued);  // another relay
  EXPECT_EQ(queue.Add({1, kdt::SetNameFrame(3, "Foyer"), nullptr, "test", ""}, true),
            Submitted::kQueued);                                   // another kind
  EXPECT_EQ(queue.Add(Input(2, 2, 3), true), Submitted::kQueued);  // another source
  EXPECT_EQ(ended, std::vector<std::string>{"A2 never sent"});
  EXPECT_EQ(queue.Size(), 4u);
  EXPECT_EQ(queue.Take().frame, kdt::SetInputFrame(1, 3));  // in the place of the first
  // Without asking, every command keeps its place.
  EXPECT_EQ(queue.Add(Input(3, 1, 1), false), Submitted::kQueued);
  EXPECT_EQ(queue.Add(Input(3, 2, 1), false), Submitted::kQueued);
  EXPECT_EQ(queue.Size(), 5u);
}

TEST(CommandQueue, BoundedAndEmptiedWhenTheConnectionEnds) {
  CommandQueue queue;
  std::vector<std::string> ended;
  for (std::size_t i = 0; i < CommandQueue::kMostWaiting; ++i) {
    ASSERT_EQ(queue.Add(Input(10 + i, 1, 1, &ended, "c"), false), Submitted::kQueued);
  }
  EXPECT_EQ(queue.Add(Input(9, 1, 1), false), Submitted::kQueueFull);
  EXPECT_EQ(queue.Add(Input(10, 2, 1, &ended, "newer"), true), Submitted::kReplaced);
  EXPECT_EQ(queue.Size(), CommandQueue::kMostWaiting);
  for (QueuedCommand& command : queue.TakeAll()) command.done(nullptr);
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(ended.size(), CommandQueue::kMostWaiting + 1);  // each told once
}

}  // namespace
