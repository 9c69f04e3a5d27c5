#include "SimUnit.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

#include "LoopbackPeer.h"
#include "PanelCommands.h"
#include "RecordingUnit.h"

using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// A simulated unit on a free loopback port that records frames and log lines.
class SimFixture : public ::testing::Test {
 protected:
  void StartUnit(sim::SimOptions options = {}) {
    options.port = 0;
    std::string error;
    unit_ = StartRecordingUnit(options, error, [this](const std::string& line) {
      std::lock_guard lock(logMutex_);
      log_.push_back(line);
    });
    ASSERT_TRUE(unit_) << error;
  }

  tcp::Socket Connect() { return ConnectLoopback(unit_->Port()); }

  // A status reply that came back whole.
  static kdt::UnitStatus Decode(const Bytes& reply) {
    EXPECT_EQ(reply.size(), kdt::kReplyLength);
    if (reply.size() != kdt::kReplyLength) return {};
    return kdt::DecodeReply(kdt::ReplyView(reply.data(), kdt::kReplyLength));
  }

  // Sends a frame as it stands (checksum included) and reads the whole reply.
  static Bytes Exchange(tcp::Socket s, Bytes frame, std::size_t replyLength = kdt::kReplyLength) {
    EXPECT_TRUE(tcp::SockSendAll(s, frame.data(), int(frame.size()), 3000));
    Bytes reply(replyLength);
    if (!tcp::SockRecvAll(s, reply.data(), int(replyLength), 3000)) reply.clear();
    return reply;
  }

  // Log lines come from the unit's threads: give them time to arrive.
  bool LogContains(const std::string& text) {
    auto start = Clock::now();
    do {
      {
        std::lock_guard lock(logMutex_);
        for (const std::string& line : log_) {
          if (line.find(text) != std::string::npos) return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (ElapsedMs(start) < 5000);
    return false;
  }

  std::mutex logMutex_;
  std::vector<std::string> log_;
  std::unique_ptr<sim::SimUnit> unit_;  // last: its threads log until it is gone
};

TEST_F(SimFixture, AnswersAPollWithAValidStatus) {
  StartUnit();
  tcp::Socket s = Connect();
  Bytes reply = Exchange(s, kdt::PollFrame());
  ASSERT_EQ(reply.size(), kdt::kReplyLength);
  EXPECT_EQ(reply[0], 82);
  EXPECT_TRUE(kdt::ChecksumValid(reply));
  kdt::UnitStatus status = Decode(reply);
  EXPECT_EQ(status.model, 212);
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(status.state[r] & kdt::kStateInputMask, 1);
    EXPECT_FALSE(status.name[r].empty());
  }
  tcp::SockShutdownClose(s);
}

TEST_F(SimFixture, AppliesSetInputAndSetName) {
  StartUnit();
  tcp::Socket s = Connect();
  Exchange(s, kdt::PollFrame());
  Exchange(s, Bytes{0x04, 0x02, 0x02, 0x01, 0xFB});
  Exchange(s, kdt::SetNameFrame(3, "Studio 2"));
  kdt::UnitStatus status = Decode(Exchange(s, kdt::PollFrame()));
  EXPECT_EQ(status.state[0] & kdt::kStateInputMask, 2);
  EXPECT_EQ(status.name[2], "Studio 2");
  EXPECT_TRUE(LogContains("set input 2 on relay 1"));
  EXPECT_TRUE(LogContains("set name of relay 3 to \"Studio 2\""));
  tcp::SockShutdownClose(s);
}

// Every other test trusts the simulated unit: a set-input changes the input
// bits and keeps the rest of the relay's state.
TEST_F(SimFixture, SetInputKeepsTheOtherStateBits) {
  StartUnit();
  unit_->SetState(1, 0x81);
  tcp::Socket s = Connect();
  EXPECT_EQ(Decode(Exchange(s, kdt::SetInputFrame(2, 1))).state[0], 0x82);
  tcp::SockShutdownClose(s);
}

TEST_F(SimFixture, ConsecutiveRepliesDifferOnlyInByteOne) {
  StartUnit();
  tcp::Socket s = Connect();
  Bytes a = Exchange(s, kdt::PollFrame());
  Bytes b = Exchange(s, kdt::PollFrame());
  EXPECT_NE(a[1], b[1]);
  EXPECT_TRUE(kdt::RepliesEqual(kdt::ReplyView(a.data(), kdt::kReplyLength),
                                kdt::ReplyView(b.data(), kdt::kReplyLength)));
  tcp::SockShutdownClose(s);
}

TEST_F(SimFixture, ConnectionsShareOneUnit) {
  StartUnit();
  tcp::Socket first = Connect();
  tcp::Socket second = Connect();
  Exchange(first, kdt::SetInputFrame(2, 3));
  kdt::UnitStatus seen = Decode(Exchange(second, kdt::PollFrame()));
  EXPECT_EQ(seen.state[2] & kdt::kStateInputMask, 2);
  EXPECT_EQ(unit_->ConnectionsAccepted(), 2);
  tcp::SockShutdownClose(first);
  tcp::SockShutdownClose(second);
  EXPECT_TRUE(unit_->WaitForConnectionsOpen(0, 5000));
}

TEST_F(SimFixture, RecordsEveryFrameByteForByte) {
  StartUnit();
  tcp::Socket s = Connect();
  Exchange(s, kdt::PollFrame());
  Exchange(s, kdt::SetInputFrame(1, 2));
  Exchange(s, kdt::GoodbyeFrame());
  ASSERT_TRUE(unit_->WaitForFrames(3, 3000));
  auto frames = unit_->Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].bytes, kdt::PollFrame());
  EXPECT_EQ(frames[1].bytes, kdt::SetInputFrame(1, 2));
  EXPECT_EQ(frames[2].bytes, kdt::GoodbyeFrame());
  EXPECT_EQ(frames[2].connection, 1);
  tcp::SockShutdownClose(s);
}

TEST_F(SimFixture, BadChecksumAndUnknownCodeAreAnsweredButNotApplied) {
  StartUnit();
  tcp::Socket s = Connect();
  Bytes badChecksum = kdt::SetInputFrame(2, 1);
  badChecksum.back() ^= 0xFF;
  EXPECT_EQ(Exchange(s, badChecksum).size(), kdt::kReplyLength);
  EXPECT_EQ(Exchange(s, Bytes{0x02, 0x55, 0xAB}).size(), kdt::kReplyLength);
  EXPECT_EQ(unit_->Status().state[0] & kdt::kStateInputMask, 1);
  EXPECT_TRUE(LogContains("bad checksum"));
  EXPECT_TRUE(LogContains("unknown frame (02 55 AB)"));
  tcp::SockShutdownClose(s);
}

TEST_F(SimFixture, LockedRelayIgnoresSetInput) {
  StartUnit();
  unit_->SetLocked(2, true);
  tcp::Socket s = Connect();
  kdt::UnitStatus status = Decode(Exchange(s, kdt::SetInputFrame(2, 2)));
  EXPECT_EQ(status.state[1], kdt::kStateLocked | 1);
  EXPECT_TRUE(LogContains("relay locked"));
  tcp::SockShutdownClose(s);
}

TEST_F(SimFixture, TruncatedFrameIsLoggedAndTheUnitServesOn) {
  StartUnit();
  {
    tcp::Socket s = Connect();
    std::uint8_t partial[] = {0xFF, 1, 2, 3};
    ASSERT_TRUE(tcp::SockSendAll(s, partial, sizeof partial, 3000));
    tcp::SockShutdownClose(s);
  }
  tcp::Socket s = Connect();
  EXPECT_EQ(Exchange(s, kdt::PollFrame()).size(), kdt::kReplyLength);
  EXPECT_TRUE(LogContains("closed by the peer inside a frame of 255 announced bytes"));
  tcp::SockShutdownClose(s);
}

TEST_F(SimFixture, SilenceInsideAFrameClosesThatConnection) {
  StartUnit();
  tcp::Socket s = Connect();
  std::uint8_t partial[] = {0xFF, 1, 2};
  ASSERT_TRUE(tcp::SockSendAll(s, partial, sizeof partial, 3000));
  std::uint8_t byte;
  EXPECT_FALSE(tcp::SockRecvAll(s, &byte, 1, sim::kIncompleteFrameMs + 3000));
  EXPECT_EQ(tcp::SockLastError(), tcp::kConnReset);
  EXPECT_TRUE(LogContains("incomplete frame: announced 255 bytes, got 2"));
  tcp::SockShutdownClose(s);
}

TEST_F(SimFixture, GarbageIsAnsweredFrameByFrame) {
  StartUnit();
  tcp::Socket s = Connect();
  // "03 41 42 43": a frame of three bytes whose checksum is wrong.
  Bytes reply = Exchange(s, Bytes{0x03, 0x41, 0x42, 0x43});
  EXPECT_EQ(reply.size(), kdt::kReplyLength);
  EXPECT_TRUE(LogContains("bad checksum (03 41 42 43)"));
  tcp::SockShutdownClose(s);
}

std::size_t MemoryMappings() {
  std::ifstream maps("/proc/self/maps");
  std::size_t count = 0;
  for (std::string line; std::getline(maps, line);) ++count;
  return count;
}

// Connections that have ended are joined and freed while the unit serves on:
// each one kept would hold its thread's stack mapped for good.
TEST_F(SimFixture, EndedConnectionsAreFreedWhileServing) {
  StartUnit();
  const std::size_t before = MemoryMappings();
  for (int i = 0; i < 200; ++i) {
    tcp::Socket s = Connect();
    Exchange(s, kdt::PollFrame());
    tcp::SockShutdownClose(s);
  }
  ASSERT_TRUE(unit_->WaitForConnectionsOpen(0, 5000));
  constexpr std::size_t kTolerance = 40;  // a few cached stacks and heaps, not 200 stacks
  auto start = Clock::now();
  while (MemoryMappings() > before + kTolerance && ElapsedMs(start) < 5000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_LE(MemoryMappings(), before + kTolerance);
}

// Out of descriptors, the unit says so rather than failing later on a
// socket it never had. In a child process, so that the limit stays there.
TEST(SimUnitStart, NoSocketIsReportedAsSuch) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    rlimit none{0, 0};
    setrlimit(RLIMIT_NOFILE, &none);
    sim::SimUnit unit(sim::SimOptions{});
    std::string error;
    const bool started = unit.Start(error);
    if (write(fds[1], error.data(), error.size()) < 0) _exit(2);
    _exit(started ? 1 : 0);
  }
  close(fds[1]);
  std::string error(256, '\0');
  error.resize(std::max<ssize_t>(0, read(fds[0], error.data(), error.size())));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(error, "cannot listen on 127.0.0.1:10001: too many open files");
}

// --- Faults -------------------------------------------------------------------

struct FaultCase {
  sim::Fault fault;
  int after;
};

class SimFaults : public SimFixture, public ::testing::WithParamInterface<FaultCase> {};

// After `after` good replies, the fault shows on the next exchange.
TEST_P(SimFaults, FaultStartsAfterItsCountOfGoodReplies) {
  FaultCase c = GetParam();
  sim::SimOptions options;
  options.fault = c.fault;
  options.faultAfter = c.after;
  StartUnit(options);
  tcp::Socket s = Connect();
  kdt::FrameBuffer buffer;
  for (int i = 0; i < c.after; ++i) {
    kdt::LoadFrame(buffer, kdt::PollFrame());
    ASSERT_TRUE(kdt::SendFrame(s, buffer));
    ASSERT_TRUE(kdt::ReceiveReply(s, buffer)) << i;
  }
  kdt::LoadFrame(buffer, kdt::PollFrame());
  ASSERT_TRUE(kdt::SendFrame(s, buffer));
  auto start = Clock::now();
  EXPECT_FALSE(kdt::ReceiveReply(s, buffer));
  int error = tcp::SockLastError();
  switch (c.fault) {
    case sim::Fault::kSilent:
    case sim::Fault::kPartial:
      EXPECT_EQ(error, tcp::kWaitTimeout);
      EXPECT_GE(ElapsedMs(start), 3000);
      break;
    case sim::Fault::kClose:
      EXPECT_EQ(error, tcp::kConnReset);
      break;
    case sim::Fault::kBadLength:
      EXPECT_EQ(buffer[0], 81);
      break;
    case sim::Fault::kBadChecksum:
      EXPECT_EQ(buffer[0], 82);
      EXPECT_FALSE(kdt::ChecksumValid(buffer));
      break;
    case sim::Fault::kNone:
      break;
  }
  tcp::SockShutdownClose(s);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SimFaults,
    ::testing::Values(FaultCase{sim::Fault::kSilent, 0}, FaultCase{sim::Fault::kSilent, 2},
                      FaultCase{sim::Fault::kClose, 3}, FaultCase{sim::Fault::kBadLength, 1},
                      FaultCase{sim::Fault::kBadChecksum, 2}, FaultCase{sim::Fault::kPartial, 1}));

TEST_F(SimFixture, SlowUnitDelaysEveryReply) {
  sim::SimOptions options;
  options.delayMs = 300;
  StartUnit(options);
  tcp::Socket s = Connect();
  auto start = Clock::now();
  EXPECT_EQ(Exchange(s, kdt::PollFrame()).size(), kdt::kReplyLength);
  EXPECT_GE(ElapsedMs(start), 300);
  tcp::SockShutdownClose(s);
}

// "delay switch MS": relays that settle slowly hold a switch's reply, not
// a poll's.
TEST_F(SimFixture, ASlowSwitchDelaysOnlyTheSwitchesReply) {
  StartUnit();
  std::string reply;
  ASSERT_TRUE(sim::RunPanelCommand(*unit_, "delay switch 2000", reply)) << reply;
  tcp::Socket s = Connect();
  auto start = Clock::now();
  EXPECT_EQ(Exchange(s, kdt::PollFrame()).size(), kdt::kReplyLength);
  EXPECT_LT(ElapsedMs(start), 2000);
  start = Clock::now();
  EXPECT_EQ(kdt::InputOf(Decode(Exchange(s, kdt::SetInputFrame(2, 1))).state[0]), 2);
  EXPECT_GE(ElapsedMs(start), 2000);
  EXPECT_FALSE(sim::RunPanelCommand(*unit_, "delay switch soon", reply));
  tcp::SockShutdownClose(s);
}

TEST_F(SimFixture, ReportsTheModelCodeItIsGiven) {
  sim::SimOptions options;
  options.model = 211;
  StartUnit(options);
  tcp::Socket s = Connect();
  EXPECT_EQ(Decode(Exchange(s, kdt::PollFrame())).model, 211);
  tcp::SockShutdownClose(s);
}

TEST_F(SimFixture, StopEndsConnectionsThatAreStillOpen) {
  StartUnit();
  tcp::Socket s = Connect();
  Exchange(s, kdt::PollFrame());
  unit_->Stop();
  std::uint8_t byte;
  EXPECT_FALSE(tcp::SockRecvAll(s, &byte, 1, 3000));
  EXPECT_EQ(tcp::SockLastError(), tcp::kConnReset);
  tcp::SockShutdownClose(s);
}

// --- Front panel ------------------------------------------------------------

TEST_F(SimFixture, FrontPanelCommandsChangeTheUnit) {
  StartUnit();
  std::string reply;
  const std::pair<const char*, bool> lines[] = {
      {"input A 2", true},     {"name b Studio 7", true}, {"lock 1 on", true},
      {"state C 0x43", true},  {"model 99", true},        {"fault silent 4", true},
      {"input 3 2", true},     {"input 4 1", false},      {"input 0 1", false},
      {"input 1 3", false},    {"lock 2 maybe", false},   {"fly away", false},
      {"fault wobble", false},
  };
  for (const auto& [line, ok] : lines)
    EXPECT_EQ(sim::RunPanelCommand(*unit_, line, reply), ok) << line;
  kdt::UnitStatus status = unit_->Status();
  EXPECT_EQ(status.state[2], 2);
  EXPECT_EQ(status.name[1], "Studio 7");
  EXPECT_EQ(status.state[0], 0x43);
  EXPECT_EQ(status.model, 99);
  ASSERT_TRUE(sim::RunPanelCommand(*unit_, "status", reply));
  EXPECT_NE(reply.find("RELAY B (2): INPUT 1, state 0x1, name \"Studio 7\""), std::string::npos)
      << reply;
}

// Names typed at the front panel are read as the terminal's UTF-8 and stored
// in the unit's code page; raw bytes come with --hex.
TEST_F(SimFixture, FrontPanelNamesTakeTheUnitsCodePage) {
  StartUnit();
  struct Case {
    std::string line;
    bool ok;
    std::string stored;  // relay 3's bytes afterwards
    std::string said;    // part of the reply
  };
  const std::string before = unit_->Status().name[2];
  const Case cases[] = {
      {"name A Студия Ёжик №5", true,
       "\xD1\xF2\xF3\xE4\xE8\xFF \xA8\xE6\xE8\xEA \xB9"
       "5",
       "name \"Студия Ёжик №5\""},
      {"name A 中文", false,
       "\xD1\xF2\xF3\xE4\xE8\xFF \xA8\xE6\xE8\xEA \xB9"
       "5",
       "RELAY A keeps its name: the unit's code page (windows-1251) has no \"中\" (U+4E2D)"},
      {"name A " + std::string("\xFF"), false,
       "\xD1\xF2\xF3\xE4\xE8\xFF \xA8\xE6\xE8\xEA \xB9"
       "5",
       "the text is not UTF-8"},
      {"name A --hex 1B 5B 33 31 6D 5C", true, "\x1B[31m\\", "name \"\\x1B[31m\\\\\""},
      {"name A --hex 4", false, "\x1B[31m\\", "not hexadecimal bytes"},
      {"name A --hex 41 7F 98 42", true,
       "A\x7F\x98"
       "B",
       "name \"A\\x7F\\x98B\""},
      {"name A " + std::string(30, 'x'), true, std::string(25, 'x'),
       "the unit keeps 25 characters of a name: cut to"},
  };
  for (const Case& c : cases) {
    std::string reply;
    EXPECT_EQ(sim::RunPanelCommand(*unit_, c.line, reply), c.ok) << c.line;
    EXPECT_EQ(unit_->Status().name[2], c.stored) << c.line;
    EXPECT_NE(reply.find(c.said), std::string::npos) << c.line << "\n" << reply;
    EXPECT_EQ(reply.find('\x1B'), std::string::npos) << c.line;  // never a raw escape
  }
  EXPECT_NE(before, unit_->Status().name[2]);
}

// A name with control bytes, set over the wire, is logged escaped: it cannot
// move the terminal's cursor or change its colours.
TEST_F(SimFixture, HostileNamesAreLoggedEscaped) {
  StartUnit();
  tcp::Socket s = Connect();
  Exchange(s, kdt::SetNameFrame(1, "\x1B[2J\aBell"));
  EXPECT_TRUE(LogContains("set name of relay 1 to \"\\x1B[2J\\x07Bell\""));
  std::lock_guard lock(logMutex_);
  for (const std::string& line : log_) EXPECT_EQ(line.find('\x1B'), std::string::npos) << line;
  tcp::SockShutdownClose(s);
}

}  // namespace
