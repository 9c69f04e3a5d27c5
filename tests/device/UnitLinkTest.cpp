// The link to a unit against the simulated unit: what each way a unit can
// answer makes of an exchange, and a socket that closes with its owner.
#include "UnitLink.h"

#include <gtest/gtest.h>

#include "Loopback.h"
#include "UnitFixture.h"

using namespace testsupport;

namespace {

class UnitLinkTest : public UnitFixture {};

TEST_F(UnitLinkTest, EachAnswerOfTheUnitIsAnOutcomeWithItsReason) {
  struct Case {
    sim::Fault fault;
    kdt::UnitLink::Outcome outcome;
    int error;
  };
  const Case cases[] = {
      {sim::Fault::kNone, kdt::UnitLink::Outcome::kDone, 0},
      {sim::Fault::kBadChecksum, kdt::UnitLink::Outcome::kInvalidReply, 0},
      {sim::Fault::kBadLength, kdt::UnitLink::Outcome::kInvalidReply, 0},
      {sim::Fault::kSilent, kdt::UnitLink::Outcome::kNoReply, tcp::kWaitTimeout},
      {sim::Fault::kClose, kdt::UnitLink::Outcome::kNoReply, tcp::kConnReset},
  };
  StartUnit();
  for (const Case& c : cases) {
    SCOPED_TRACE(sim::FaultName(c.fault));
    unit_->SetFault(c.fault, 0);
    kdt::UnitLink link;
    ASSERT_TRUE(link.Connect(kLoopback, unit_->Port(), 3000));
    kdt::FrameBuffer buffer;
    kdt::LoadFrame(buffer, kdt::PollFrame());
    EXPECT_EQ(link.Exchange(buffer, nullptr, 300), c.outcome);
    if (c.outcome == kdt::UnitLink::Outcome::kDone) {
      EXPECT_EQ(kdt::DecodeReply(kdt::ReplyIn(buffer)).model, kdt::kModelKdt212);
    } else {
      EXPECT_EQ(link.Error(), c.error);
    }
  }
}

TEST(UnitLink, RefusedConnectionKeepsTheReasonAndNoSocket) {
  kdt::UnitLink link;
  EXPECT_FALSE(link.Connect(kLoopback, FreeLoopbackPort(), 3000));
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(link.Error(), tcp::kErrConnRefused);
  EXPECT_EQ(tcp::SockErrorText(link.Error(), 3000), "connection refused");
}

// The socket goes with its owner, wherever the link was moved to.
TEST_F(UnitLinkTest, TheSocketClosesWithTheLinkThatHoldsIt) {
  StartUnit();
  kdt::UnitLink moved;
  {
    kdt::UnitLink link;
    ASSERT_TRUE(link.Connect(kLoopback, unit_->Port(), 3000));
    ASSERT_TRUE(unit_->WaitForConnectionsOpen(1, 5000));
    moved = std::move(link);
    EXPECT_FALSE(link.IsOpen());  // moved from, and so empty
  }
  EXPECT_TRUE(moved.IsOpen());
  EXPECT_TRUE(unit_->WaitForConnectionsOpen(1, 5000));
  moved = kdt::UnitLink();
  EXPECT_TRUE(unit_->WaitForConnectionsOpen(0, 5000));
}

}  // namespace
