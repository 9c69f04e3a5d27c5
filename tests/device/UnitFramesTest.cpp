#include "UnitFrames.h"

#include <gtest/gtest.h>

#include "LoopbackPeer.h"

using namespace testsupport;
using kdt::Frame;

namespace {

using Clock = std::chrono::steady_clock;

kdt::UnitStatus SampleStatus() {
  kdt::UnitStatus status;
  status.header = 0x11;
  status.model = kdt::kModelKdt212;
  status.state = {0x01, 0x42, 0x03};
  status.name = {"Studio 1", "", std::string(25, 'Z')};
  return status;
}

TEST(Frames, CommandBytesOnTheWire) {
  EXPECT_EQ(kdt::PollFrame(), (Frame{0x02, 0x01, 0xFF}));
  EXPECT_EQ(kdt::GoodbyeFrame(), (Frame{0x02, 0x99, 0x67}));
  EXPECT_EQ(kdt::SetInputFrame(2, 1), (Frame{0x04, 0x02, 0x02, 0x01, 0xFB}));
  EXPECT_EQ(kdt::SetInputFrame(1, 3), (Frame{0x04, 0x02, 0x01, 0x03, 0xFA}));
}

TEST(Frames, SetNameFillsA24ByteFieldWithNulPadding) {
  struct Case {
    std::string name;
    std::string field;
  };
  const Case cases[] = {
      {"", std::string(24, '\0')},
      {"Studio 2", "Studio 2" + std::string(16, '\0')},
      {std::string(24, 'x'), std::string(24, 'x')},
      {std::string(24, 'y') + "TAILS!", std::string(24, 'y')},
  };
  for (const Case& c : cases) {
    Frame frame = kdt::SetNameFrame(2, c.name);
    ASSERT_EQ(frame.size(), 28u);
    EXPECT_EQ(frame[0], 27);
    EXPECT_EQ(frame[1], 0x03);
    EXPECT_EQ(frame[2], 2);
    EXPECT_EQ(std::string(frame.begin() + 3, frame.begin() + 27), c.field) << c.name;
    EXPECT_TRUE(kdt::ChecksumValid(frame.data()));
  }
}

TEST(Frames, EveryByteOfAValidReplyIsCoveredByTheChecksum) {
  kdt::ReplyBytes reply = kdt::EncodeReply(SampleStatus(), 7);
  ASSERT_EQ(reply[0], 82);
  ASSERT_TRUE(kdt::ChecksumValid(reply.data()));
  unsigned sum = 0;
  for (std::size_t i = 1; i <= 82; ++i) sum += reply[i];
  EXPECT_EQ(sum % 256, 0u);
  for (std::size_t i = 1; i <= 82; ++i) {
    kdt::ReplyBytes changed = reply;
    changed[i] ^= 0x10;
    EXPECT_FALSE(kdt::ChecksumValid(changed.data())) << "byte " << i;
  }
}

TEST(Frames, ChangeDetectionIgnoresByteOneAndTheChecksum) {
  kdt::ReplyBytes a = kdt::EncodeReply(SampleStatus(), 1);
  kdt::ReplyBytes b = kdt::EncodeReply(SampleStatus(), 2);
  EXPECT_TRUE(kdt::RepliesEqual(a.data(), b.data()));
  for (std::size_t i = 2; i <= 81; ++i) {
    kdt::ReplyBytes c = a;
    c[i] ^= 0x01;
    EXPECT_FALSE(kdt::RepliesEqual(a.data(), c.data())) << "byte " << i;
  }
}

TEST(Frames, DecodeReadsHeaderModelStatesAndNames) {
  kdt::ReplyBytes reply = kdt::EncodeReply(SampleStatus());
  EXPECT_EQ(reply[4], 0x01);
  EXPECT_EQ(reply[30], 0x42);
  EXPECT_EQ(reply[56], 0x03);
  EXPECT_EQ(reply[5], 'S');
  kdt::UnitStatus status = kdt::DecodeReply(reply.data());
  EXPECT_EQ(status.header, 0x11);
  EXPECT_EQ(status.model, 212);
  EXPECT_EQ(status.state, SampleStatus().state);
  EXPECT_EQ(status.name[0], "Studio 1");
  EXPECT_EQ(status.name[1], "");                    // field begins with NUL
  EXPECT_EQ(status.name[2], std::string(25, 'Z'));  // no NUL: the whole field
}

TEST(Frames, NameStopsAtItsFirstNul) {
  kdt::ReplyBytes reply = kdt::EncodeReply(SampleStatus());
  reply[5 + 3] = 0;
  EXPECT_EQ(kdt::DecodeReply(reply.data()).name[0], "Stu");
}

// --- Transfers against scripted peers -------------------------------------

TEST(SendFrame, CompletesTheChecksumAndSendsNPlusOneBytes) {
  std::vector<std::uint8_t> received;
  {
    ScriptedPeer peer([&](ScriptedPeer::Link& link) { received = link.Read(5); });
    tcp::Socket s = ConnectLoopback(peer.Port());
    std::uint8_t frame[kdt::kFrameBufferSize] = {0x04, 0x02, 0x02, 0x01, 0x00, 0xEE};
    EXPECT_TRUE(kdt::SendFrame(s, frame));
    tcp::SockShutdownClose(s);
  }
  EXPECT_EQ(received, (std::vector<std::uint8_t>{0x04, 0x02, 0x02, 0x01, 0xFB}));
}

TEST(ReceiveReply, AcceptsAValidReply) {
  kdt::ReplyBytes reply = kdt::EncodeReply(SampleStatus(), 9);
  ScriptedPeer peer([&](ScriptedPeer::Link& link) { link.Send(reply.data(), reply.size()); });
  tcp::Socket s = ConnectLoopback(peer.Port());
  std::uint8_t buffer[kdt::kFrameBufferSize];
  EXPECT_TRUE(kdt::ReceiveReply(s, buffer));
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buffer));
  tcp::SockShutdownClose(s);
}

// A reply of the wrong length is read whole, so the next reply on the
// connection starts at its own length byte.
TEST(ReceiveReply, WrongLengthIsConsumedWholeThenRejected) {
  for (std::uint8_t announced : {std::uint8_t(81), std::uint8_t(83), std::uint8_t(255)}) {
    kdt::ReplyBytes good = kdt::EncodeReply(SampleStatus());
    ScriptedPeer peer([&](ScriptedPeer::Link& link) {
      std::vector<std::uint8_t> wrong(announced + 1u, 0);
      wrong[0] = announced;
      link.Send(wrong);
      link.Send(good.data(), good.size());
    });
    tcp::Socket s = ConnectLoopback(peer.Port());
    std::uint8_t buffer[kdt::kFrameBufferSize];
    EXPECT_FALSE(kdt::ReceiveReply(s, buffer)) << int(announced);
    EXPECT_TRUE(kdt::ReceiveReply(s, buffer)) << int(announced);
    tcp::SockShutdownClose(s);
  }
}

TEST(ReceiveReply, OneChangedByteFailsTheChecksum) {
  kdt::ReplyBytes reply = kdt::EncodeReply(SampleStatus());
  reply[40] ^= 0x04;
  ScriptedPeer peer([&](ScriptedPeer::Link& link) { link.Send(reply.data(), reply.size()); });
  tcp::Socket s = ConnectLoopback(peer.Port());
  std::uint8_t buffer[kdt::kFrameBufferSize];
  EXPECT_FALSE(kdt::ReceiveReply(s, buffer));
  tcp::SockShutdownClose(s);
}

TEST(ReceiveReply, PartialReplyThenSilenceFailsAfterTheReadTimeOut) {
  kdt::ReplyBytes reply = kdt::EncodeReply(SampleStatus());
  ScriptedPeer peer([&](ScriptedPeer::Link& link) {
    link.Send(reply.data(), 30);
    link.HoldOpen();
  });
  tcp::Socket s = ConnectLoopback(peer.Port());
  std::uint8_t buffer[kdt::kFrameBufferSize];
  auto start = Clock::now();
  EXPECT_FALSE(kdt::ReceiveReply(s, buffer));
  EXPECT_EQ(tcp::SockLastError(), tcp::kWaitTimeout);
  EXPECT_GE(ElapsedMs(start), std::int64_t(kdt::kTransferTimeoutMs));
  EXPECT_LT(ElapsedMs(start), std::int64_t(kdt::kTransferTimeoutMs) + 3000);
  peer.Release();
  tcp::SockShutdownClose(s);
}

TEST(ReceiveReply, UnitClosingMidReplyFailsWith10054) {
  kdt::ReplyBytes reply = kdt::EncodeReply(SampleStatus());
  ScriptedPeer peer([&](ScriptedPeer::Link& link) { link.Send(reply.data(), 50); });
  tcp::Socket s = ConnectLoopback(peer.Port());
  std::uint8_t buffer[kdt::kFrameBufferSize];
  EXPECT_FALSE(kdt::ReceiveReply(s, buffer));
  EXPECT_EQ(tcp::SockLastError(), tcp::kConnReset);
  tcp::SockShutdownClose(s);
}

}  // namespace
