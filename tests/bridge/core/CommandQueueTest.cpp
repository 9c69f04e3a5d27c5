// The queue of commands that everyone who shares a unit sends it.
#include "core/CommandQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bridge::Command;
using bridge::CommandQueue;
using bridge::QueuedCommand;
using Added = CommandQueue::Added;

QueuedCommand Input(bridge::CommandSource source, int input, int relay,
                    Command::Until until = Command::Until::kAnswered,
                    std::vector<std::string>* ended = nullptr, std::string tag = {}) {
  QueuedCommand queued{Command{.unit = "studio",
                               .relay = relay,
                               .what = Command::What::kInput,
                               .input = input,
                               .by = bridge::Cause{bridge::Owner::Mqtt()},
                               .source = source,
                               .until = until},
                       nullptr};
  if (ended != nullptr) {
    queued.answered = [ended, tag](const kdt::ReplyBytes* reply) {
      ended->push_back(tag + (reply == nullptr ? " never sent" : " answered"));
    };
  }
  return queued;
}

QueuedCommand Newest(bridge::CommandSource source, int input, int relay,
                     std::vector<std::string>* ended = nullptr, std::string tag = {}) {
  return Input(source, input, relay, Command::Until::kNewestWins, ended, std::move(tag));
}

// Sources take turns: one that sent many does not keep another waiting.
TEST(CommandQueue, SourcesTakeTurnsEachInItsOwnOrder) {
  CommandQueue queue;
  constexpr bridge::CommandSource kFlood = 1, kClient = 2, kOther = 3;
  for (int i = 0; i < 5; ++i) queue.Add(Input(kFlood, 1 + i % 2, 1));
  queue.Add(Input(kClient, 2, 2));
  queue.Add(Input(kOther, 2, 3));
  queue.Add(Input(kClient, 1, 2));
  std::vector<bridge::CommandSource> order;
  while (!queue.Empty()) order.push_back(queue.Take().command.source);
  EXPECT_EQ(order, (std::vector<bridge::CommandSource>{kFlood, kClient, kOther, kFlood, kClient,
                                                       kFlood, kFlood, kFlood}));
}

// The newest value wins for a command that asks so: one command per relay
// and kind waits, the one it replaced is told it never went.
TEST(CommandQueue, TheNewestCommandForARelayReplacesOneThatWaits) {
  CommandQueue queue;
  std::vector<std::string> ended;
  EXPECT_EQ(queue.Add(Newest(1, 2, 3, &ended, "A2")), Added::kQueued);
  EXPECT_EQ(queue.Add(Newest(1, 1, 3, &ended, "A1")), Added::kReplaced);
  EXPECT_EQ(queue.Add(Newest(1, 2, 2, &ended, "B2")), Added::kQueued);  // another relay
  QueuedCommand rename = Newest(1, 0, 3);
  rename.command.what = Command::What::kName;
  rename.command.name = "Foyer";
  EXPECT_EQ(queue.Add(std::move(rename)), Added::kQueued);  // another kind
  EXPECT_EQ(queue.Add(Newest(2, 2, 3)), Added::kQueued);    // another source
  EXPECT_EQ(ended, std::vector<std::string>{"A2 never sent"});
  EXPECT_EQ(queue.Size(), 4u);
  EXPECT_EQ(queue.Take().command.Frame(), kdt::SetInputFrame(1, 3));  // in the place of the first
  // Without asking, every command keeps its place.
  EXPECT_EQ(queue.Add(Input(3, 1, 1)), Added::kQueued);
  EXPECT_EQ(queue.Add(Input(3, 2, 1)), Added::kQueued);
  EXPECT_EQ(queue.Size(), 5u);
}

TEST(CommandQueue, BoundedAndEmptiedWhenTheConnectionEnds) {
  CommandQueue queue;
  std::vector<std::string> ended;
  for (std::size_t i = 0; i < CommandQueue::kMostWaiting; ++i) {
    ASSERT_EQ(queue.Add(Input(10 + i, 1, 1, Command::Until::kNewestWins, &ended, "c")),
              Added::kQueued);
  }
  EXPECT_EQ(queue.Add(Input(9, 1, 1)), Added::kFull);
  EXPECT_EQ(queue.Add(Newest(10, 2, 1, &ended, "newer")), Added::kReplaced);
  EXPECT_EQ(queue.Size(), CommandQueue::kMostWaiting);
  for (QueuedCommand& queued : queue.TakeAll()) queued.answered(nullptr);
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(ended.size(), CommandQueue::kMostWaiting + 1);  // each told once
}

}  // namespace

namespace {

// A command withdrawn while it waits never goes, and nobody hears of it
// from the queue; the others keep their order and turns.
TEST(CommandQueue, AWaitingCommandIsWithdrawnByItsId) {
  CommandQueue queue;
  std::vector<std::string> ended;
  for (int relay = 1; relay <= 3; ++relay) {
    QueuedCommand queued = Input(1, 2, relay, Command::Until::kShown, &ended, "r");
    queued.id = std::uint64_t(relay) * 10;
    ASSERT_EQ(queue.Add(std::move(queued)), Added::kQueued);
  }
  EXPECT_FALSE(queue.Withdraw(0));
  EXPECT_FALSE(queue.Withdraw(99));
  EXPECT_TRUE(queue.Withdraw(20));
  EXPECT_FALSE(queue.Withdraw(20));
  EXPECT_EQ(queue.Size(), 2u);
  EXPECT_EQ(queue.Take().command.relay, 1);
  EXPECT_TRUE(queue.Withdraw(30));
  EXPECT_TRUE(queue.Empty());
  EXPECT_TRUE(ended.empty());
}

}  // namespace
