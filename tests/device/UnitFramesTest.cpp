#include "UnitFrames.h"

#include <gtest/gtest.h>

#include <optional>

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
    EXPECT_TRUE(kdt::ChecksumValid(frame));
  }
}

TEST(Frames, EveryByteOfAValidReplyIsCoveredByTheChecksum) {
  kdt::ReplyBytes reply = kdt::EncodeReply(SampleStatus(), 7);
  ASSERT_EQ(reply[0], 82);
  ASSERT_TRUE(kdt::ChecksumValid(reply));
  unsigned sum = 0;
  for (std::size_t i = 1; i <= 82; ++i) sum += reply[i];
  EXPECT_EQ(sum % 256, 0u);
  for (std::size_t i = 1; i <= 82; ++i) {
    kdt::ReplyBytes changed = reply;
    changed[i] ^= 0x10;
    EXPECT_FALSE(kdt::ChecksumValid(changed)) << "byte " << i;
  }
}

TEST(Frames, ChangeDetectionIgnoresByteOneAndTheChecksum) {
  kdt::ReplyBytes a = kdt::EncodeReply(SampleStatus(), 1);
  kdt::ReplyBytes b = kdt::EncodeReply(SampleStatus(), 2);
  EXPECT_TRUE(kdt::RepliesEqual(a, b));
  for (std::size_t i = 2; i <= 81; ++i) {
    kdt::ReplyBytes c = a;
    c[i] ^= 0x01;
    EXPECT_FALSE(kdt::RepliesEqual(a, c)) << "byte " << i;
  }
}

TEST(Frames, DecodeReadsHeaderModelStatesAndNames) {
  kdt::ReplyBytes reply = kdt::EncodeReply(SampleStatus());
  EXPECT_EQ(reply[4], 0x01);
  EXPECT_EQ(reply[30], 0x42);
  EXPECT_EQ(reply[56], 0x03);
  EXPECT_EQ(reply[5], 'S');
  kdt::UnitStatus status = kdt::DecodeReply(reply);
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
  EXPECT_EQ(kdt::DecodeReply(reply).name[0], "Stu");
}

TEST(Frames, ChecksumOfBytesShorterThanTheirLengthIsNeverValid) {
  kdt::Frame frame = kdt::SetInputFrame(2, 1);
  frame.pop_back();  // the checksum byte is missing
  EXPECT_FALSE(kdt::ChecksumValid(frame));
  EXPECT_FALSE(kdt::ChecksumValid(std::span<const std::uint8_t>()));
}

// --- Transfers against scripted peers -------------------------------------

TEST(SendFrame, CompletesTheChecksumAndSendsNPlusOneBytes) {
  std::vector<std::uint8_t> received;
  {
    ScriptedPeer peer([&](ScriptedPeer::Link& link) { received = link.Read(5); });
    tcp::Socket s = ConnectLoopback(peer.Port());
    kdt::FrameBuffer frame{0x04, 0x02, 0x02, 0x01, 0x00, 0xEE};
    EXPECT_TRUE(kdt::SendFrame(s, frame));
    tcp::SockShutdownClose(s);
  }
  EXPECT_EQ(received, (std::vector<std::uint8_t>{0x04, 0x02, 0x02, 0x01, 0xFB}));
}

using Bytes = std::vector<std::uint8_t>;

Bytes Join(const Bytes& a, const Bytes& b) {
  Bytes joined = a;
  joined.insert(joined.end(), b.begin(), b.end());
  return joined;
}

// What a unit sends, piece by piece, and what ReceiveReply makes of it, call
// by call: the reply it accepts, or nothing when it rejects one.
struct ReplyCase {
  std::string name;
  std::vector<Bytes> pieces;                // each sent on its own, a moment apart
  std::vector<std::optional<Bytes>> calls;  // one ReceiveReply each
  int lastError = 0;                        // of the last call, when it fails (0: not checked)
  bool holdOpen = false;                    // the unit keeps the connection open, silent
};

std::vector<ReplyCase> ReplyCases() {
  const Bytes good = [] {
    const kdt::ReplyBytes reply = kdt::EncodeReply(SampleStatus(), 9);
    return Bytes(reply.begin(), reply.end());
  }();
  const Bytes other = [] {
    const kdt::ReplyBytes reply = kdt::EncodeReply(kdt::UnitStatus{}, 10);
    return Bytes(reply.begin(), reply.end());
  }();
  Bytes changed = good;
  changed[40] ^= 0x04;
  std::vector<ReplyCase> cases = {
      {"valid", {good}, {good}},
      {"one changed byte", {changed}, {std::nullopt}},
      {"two replies in one write", {Join(good, other)}, {good, other}},
      {"closed inside a reply",
       {Bytes(good.begin(), good.begin() + 50)},
       {std::nullopt},
       tcp::kConnReset},
  };
  // A reply of the wrong length is read whole, so the next one on the
  // connection starts at its own length byte.
  for (int announced : {81, 83, 255}) {
    Bytes wrong(announced + 1u, 0);
    wrong[0] = std::uint8_t(announced);
    cases.push_back({"length " + std::to_string(announced), {wrong, good}, {std::nullopt, good}});
  }
  for (std::size_t split = 1; split < good.size(); ++split) {
    cases.push_back(
        {"split after byte " + std::to_string(split),
         {Bytes(good.begin(), good.begin() + split), Bytes(good.begin() + split, good.end())},
         {good}});
  }
  return cases;
}

void PlayReplyCase(const ReplyCase& c) {
  ScriptedPeer peer([&](ScriptedPeer::Link& link) {
    for (const Bytes& piece : c.pieces) {
      link.Send(piece);
      link.Sleep(2);
    }
    if (c.holdOpen) link.HoldOpen();
  });
  tcp::Socket s = ConnectLoopback(peer.Port());
  kdt::FrameBuffer buffer{};
  for (std::size_t i = 0; i < c.calls.size(); ++i) {
    const bool accepted = kdt::ReceiveReply(s, buffer);
    EXPECT_EQ(accepted, c.calls[i].has_value()) << c.name << ", call " << i;
    if (accepted && c.calls[i]) {
      EXPECT_TRUE(std::equal(c.calls[i]->begin(), c.calls[i]->end(), buffer.begin()))
          << c.name << ", call " << i;
    }
  }
  if (c.lastError != 0) {
    EXPECT_EQ(tcp::SockLastError(), c.lastError) << c.name;
  }
  peer.Release();
  tcp::SockShutdownClose(s);
}

TEST(ReceiveReply, TableOfWhatUnitsSend) {
  for (const ReplyCase& c : ReplyCases()) PlayReplyCase(c);
}

TEST(ReceiveReply, PartialReplyThenSilenceFailsAfterTheReadTimeOut) {
  const kdt::ReplyBytes reply = kdt::EncodeReply(SampleStatus());
  auto start = Clock::now();
  PlayReplyCase({"silent after 30 bytes",
                 {Bytes(reply.begin(), reply.begin() + 30)},
                 {std::nullopt},
                 tcp::kWaitTimeout,
                 true});
  EXPECT_GE(ElapsedMs(start), std::int64_t(kdt::kTransferTimeoutMs));
  EXPECT_LT(ElapsedMs(start), std::int64_t(kdt::kTransferTimeoutMs) + 3000);
}

}  // namespace
