// The bridge's shared endpoint as a site meets it: many clients, some of
// them misbehaving, hosts that want every place, a process out of
// descriptors, long intervals, reloads and signals; the real kdt212-bridge
// between simulated units and clients on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "BridgeFixture.h"
#include "LoopbackPeer.h"

using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;
using EndpointTest = SharedBridgeTest;

// The CPU time a process has taken, in the system's clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stol(field);
    if (i == 15) system = std::stol(field);
  }
  return user + system;
}

// As the service runs, without --verbose: a client refused is worth a line,
// and a host that keeps being refused one line, then a sum.
TEST_F(EndpointTest, RefusalsAreLoggedAsTheServiceRunsAndSummedUp) {
  StartShared("ALLOW=127.0.0.1/32\nMAXCLIENTS=2\n", {}, {});
  for (int i = 0; i < 30; ++i) {
    EndpointClient outsider(listenPort_, "127.0.0.2");
    ASSERT_TRUE(outsider.Connected());
    EXPECT_TRUE(outsider.ClosedWithin(5000));
  }
  auto first = Client(), second = Client();
  for (int i = 0; i < 30; ++i) {
    EndpointClient third(listenPort_);
    EXPECT_TRUE(third.ClosedWithin(5000));
  }
  EXPECT_EQ(bridge_->CountAfter(500, "studio: refused 127.0.0.2:"), 1) << bridge_->Log();
  EXPECT_EQ(bridge_->CountAfter(0, ": not in ALLOW"), 1);
  EXPECT_EQ(bridge_->CountAfter(0, ": MAXCLIENTS (2) reached"), 1);
  // The rest, summed up once their 10 s are over.
  EXPECT_TRUE(bridge_->WaitForLog(": not in ALLOW (29 such in 10 s)", 30000)) << bridge_->Log();
  EXPECT_TRUE(bridge_->WaitForLog(": MAXCLIENTS (2) reached (29 such in 10 s)", 30000));
  kdt::UnitStatus status;
  EXPECT_TRUE(first->Poll(status) && second->Poll(status));
}

// A client that sends its next frame before its command's reply has come
// is answered in turn, and not taken for one stalled inside a frame.
TEST_F(EndpointTest, AFrameSentAheadOfACommandsReplyIsAnsweredInTurn) {
  StartShared();
  auto client = Client();
  kdt::Frame both = kdt::SetInputFrame(2, 1);
  const kdt::Frame poll = kdt::PollFrame();
  both.insert(both.end(), poll.begin(), poll.end());
  ASSERT_TRUE(tcp::SockSendAll(client->Handle(), both.data(), int(both.size()), 3000));
  kdt::FrameBuffer buffer;
  for (int reply = 0; reply < 2; ++reply) {
    ASSERT_TRUE(kdt::ReceiveReply(client->Handle(), buffer, nullptr, 5000)) << reply;
    EXPECT_EQ(kdt::InputOf(kdt::DecodeReply(kdt::ReplyIn(buffer)).state[0]), 2);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(kdt::kTransferTimeoutMs + 1000));
  kdt::UnitStatus status;
  EXPECT_TRUE(client->Poll(status));
  EXPECT_EQ(bridge_->Log().find("stalled"), std::string::npos) << bridge_->Log();
}

// A tool that connects and goes quiet holds a place for nothing.
TEST_F(EndpointTest, AClientThatSendsNothingFor30SecondsIsClosed) {
  StartShared();
  auto quiet = Client();
  const auto start = Clock::now();
  EXPECT_TRUE(quiet->ClosedWithin(60000));
  EXPECT_GE(ElapsedMs(start), 29000);
  EXPECT_TRUE(bridge_->WaitForLog("closed: sent no frame for 30 s")) << bridge_->Log();
}

// One host may take every place while nobody else wants one; another host
// that comes then gets a place, from the first host's idlest client.
TEST_F(EndpointTest, NoHostHoldsMoreThanHalfThePlacesWhileAnotherWaits) {
  StartShared("MAXCLIENTS=4\n");
  std::vector<std::unique_ptr<EndpointClient>> greedy;
  for (int i = 0; i < 4; ++i) greedy.push_back(Client());
  kdt::UnitStatus status;
  for (int i = 1; i < 4; ++i) ASSERT_TRUE(greedy[std::size_t(i)]->Poll(status));  // 0 is idlest
  EndpointClient other(listenPort_, "127.0.0.2");
  ASSERT_TRUE(other.Connected());
  EXPECT_TRUE(other.Poll(status));
  EXPECT_TRUE(greedy[0]->ClosedWithin(5000));
  EXPECT_TRUE(bridge_->WaitForLog("its host holds 4 of the 4 places while 127.0.0.2 waits"))
      << bridge_->Log();
  for (int i = 1; i < 4; ++i) EXPECT_TRUE(greedy[std::size_t(i)]->Poll(status));
  // Half the places and more are the first host's still: it gets no more.
  EndpointClient more(listenPort_);
  EXPECT_TRUE(more.ClosedWithin(5000));
  EXPECT_TRUE(bridge_->WaitForLog("MAXCLIENTS (4) reached"));
  EXPECT_TRUE(other.Poll(status));
}

// Out of descriptors, a client that waits to be taken is said once and
// taken when one comes free; meanwhile the bridge does not spin on it.
TEST_F(EndpointTest, RunningOutOfDescriptorsIsSaidOnceAndNeverSpins) {
  StartShared("MAXCLIENTS=200\n", {}, {"--verbose"}, {"/usr/bin/prlimit", "--nofile=40:40", "--"});
  // A client that comes and goes while descriptors are left: under
  // UndefinedBehaviorSanitizer, the first check of each kind of call opens a
  // pipe, which a process out of descriptors cannot, and then fails.
  Client().reset();
  ASSERT_TRUE(bridge_->WaitForLog("closed: closed by the client")) << bridge_->Log();
  std::vector<std::unique_ptr<EndpointClient>> clients;
  kdt::UnitStatus status;
  for (int i = 0; i < 60; ++i) {
    auto client = std::make_unique<EndpointClient>(listenPort_);
    ASSERT_TRUE(client->Connected());  // the system's queue takes it
    kdt::FrameBuffer buffer;
    kdt::LoadFrame(buffer, kdt::PollFrame());
    ASSERT_TRUE(kdt::SendFrame(client->Handle(), buffer));
    const bool answered = kdt::ReceiveReply(client->Handle(), buffer, nullptr, 2000);
    clients.push_back(std::move(client));
    if (!answered) break;
  }
  ASSERT_LT(clients.size(), 60u) << "the limit was never met";
  ASSERT_TRUE(
      bridge_->WaitForLog("studio: cannot take a client: too many open files; trying "
                          "again every second"))
      << bridge_->Log();
  const long before = CpuTicks(bridge_->Process().Pid());
  EXPECT_EQ(bridge_->CountAfter(3000, "cannot take a client"), 1);
  EXPECT_LT(CpuTicks(bridge_->Process().Pid()) - before, 100);  // a core spinning: 300
  clients.erase(clients.begin(), clients.begin() + 10);
  kdt::FrameBuffer buffer;
  ASSERT_TRUE(kdt::ReceiveReply(clients.back()->Handle(), buffer, nullptr, 5000));
  EXPECT_TRUE(bridge_->WaitForLog("studio: taking clients again"));
}

// A goodbye's reply goes out whole before the connection ends, even when
// the client has let its replies pile up.
TEST_F(EndpointTest, TheGoodbyesReplyComesBeforeTheClose) {
  StartShared();
  tcp::Socket slow = tcp::kInvalidSocket;
  ASSERT_TRUE(tcp::SockOpen(slow));  // its receive buffer as small as the console's
  ASSERT_TRUE(tcp::SockConnectTimeout(slow, kLoopback, listenPort_, 3000));
  constexpr int kPolls = 200;
  kdt::Frame frames;
  for (int i = 0; i < kPolls; ++i) {
    const kdt::Frame poll = kdt::PollFrame();
    frames.insert(frames.end(), poll.begin(), poll.end());
  }
  const kdt::Frame goodbye = kdt::GoodbyeFrame();
  frames.insert(frames.end(), goodbye.begin(), goodbye.end());
  ASSERT_TRUE(tcp::SockSendAll(slow, frames.data(), int(frames.size()), 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // replies pile up
  int replies = 0;
  kdt::FrameBuffer buffer;
  while (kdt::ReceiveReply(slow, buffer, nullptr, 5000)) ++replies;
  EXPECT_EQ(replies, kPolls + 1);
  EXPECT_EQ(tcp::SockLastError(), tcp::kConnReset);  // an orderly end, not a reset
  tcp::SockClose(slow);
}

// How a client went, in words that are true.
TEST_F(EndpointTest, AClientsCloseAndResetAreTheClientsNotTheUnits) {
  StartShared();
  { auto orderly = Client(); }
  EXPECT_TRUE(bridge_->WaitForLog("closed: closed by the client")) << bridge_->Log();
  auto reset = Client();
  const linger abort{1, 0};  // its close resets the connection
  setsockopt(reset->Handle(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  reset.reset();
  EXPECT_TRUE(bridge_->WaitForLog("closed: reset by the client")) << bridge_->Log();
  EXPECT_EQ(bridge_->Log().find("by the unit"), std::string::npos);
}

// A LISTEN address that another program holds: one line, not one a second;
// the endpoint comes once the address is free.
TEST(Endpoint, ATakenListenAddressIsOneLine) {
  std::string error;
  sim::SimOptions options;
  options.port = 0;
  auto unit = StartRecordingUnit(options, error);
  ASSERT_TRUE(unit) << error;
  // Held on a port below the system's own range: once let go, nothing else
  // of the machine's takes it meanwhile as a connection's own.
  tcp::Socket holder = tcp::kInvalidSocket;
  const int port = FreeLoopbackPort();
  ASSERT_TRUE(tcp::SockListen(holder, kLoopback, port, 1));
  BridgeProcess bridge(UnitSection("studio", unit->Port(), port));
  ASSERT_TRUE(bridge.WaitForLog("studio: cannot listen on 127.0.0.1:" + std::to_string(port)))
      << bridge.Log();
  EXPECT_EQ(bridge.CountAfter(3500, "cannot listen on"), 1) << bridge.Log();
  tcp::SockClose(holder);
  EXPECT_TRUE(bridge.WaitForLog("studio: shared on 127.0.0.1:" + std::to_string(port)));
  EndpointClient client(port);
  kdt::UnitStatus status;
  EXPECT_TRUE(client.Connected() && client.Poll(status));
}

// INTERVAL only spaces the bridge's polls out: a command goes at once,
// a reload and the end do not wait for it.
TEST_F(EndpointTest, ALongIntervalHoldsUpNothing) {
  StartShared("INTERVAL=20000\n");
  auto client = Client();
  kdt::UnitStatus status;
  auto start = Clock::now();
  ASSERT_TRUE(client->Exchange(kdt::SetInputFrame(2, 1), status));
  EXPECT_EQ(kdt::InputOf(status.state[0]), 2);
  EXPECT_LT(ElapsedMs(start), 3000);

  sim::SimOptions options;
  options.port = 0;
  std::string error;
  auto second = StartRecordingUnit(options, error);
  ASSERT_TRUE(second) << error;
  bridge_->Rewrite(UnitSection("studio", unit_->Port(), listenPort_, "INTERVAL=20000\n") +
                   UnitSection("hall", second->Port(), 0, "INTERVAL=20000\n"));
  bridge_->Process().Signal(SIGHUP);
  std::int64_t slowest = 0;
  for (int i = 0; i < 50; ++i) {
    start = Clock::now();
    ASSERT_TRUE(client->Poll(status));
    slowest = std::max(slowest, ElapsedMs(start));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_LT(slowest, 1000);
  ASSERT_TRUE(bridge_->WaitForLog("hall: connected to")) << bridge_->Log();
  start = Clock::now();
  EXPECT_EQ(bridge_->End(), 0);
  EXPECT_LT(ElapsedMs(start), 3000);
  EXPECT_EQ(unit_->Frames().back().bytes, kdt::GoodbyeFrame());
}

// A reload that changes who may connect keeps the session: only clients
// that may no longer connect go.
TEST_F(EndpointTest, AReloadOfAllowKeepsTheSession) {
  StartShared();
  auto inside = Client();
  EndpointClient outside(listenPort_, "127.0.0.2");
  kdt::UnitStatus status;
  ASSERT_TRUE(outside.Poll(status));
  bridge_->Rewrite(UnitSection("studio", unit_->Port(), listenPort_, "ALLOW=127.0.0.1/32\n"));
  bridge_->Process().Signal(SIGHUP);
  EXPECT_TRUE(bridge_->WaitForLog("studio: ALLOW 127.0.0.0/8 -> 127.0.0.1/32; its session goes on"))
      << bridge_->Log();
  EXPECT_TRUE(outside.ClosedWithin(5000));
  EXPECT_TRUE(inside->Poll(status));
  EXPECT_EQ(unit_->ConnectionsAccepted(), 1);
  EXPECT_TRUE(FramesOfCode(kdt::kCmdGoodbye).empty());
}

// A signal that comes while the bridge ends waits for the goodbyes like the
// first; it does not kill it.
TEST(Endpoint, ASecondSigtermStillLetsEveryUnitHaveItsGoodbye) {
  std::string error;
  sim::SimOptions options;
  options.port = 0;
  options.delayMs = 60;  // each goodbye takes a while
  auto first = StartRecordingUnit(options, error), second = StartRecordingUnit(options, error);
  ASSERT_TRUE(first && second) << error;
  BridgeProcess bridge(UnitSection("first", first->Port()) + UnitSection("second", second->Port()));
  ASSERT_TRUE(bridge.WaitForLog("first: connected to")) << bridge.Log();
  ASSERT_TRUE(bridge.WaitForLog("second: connected to")) << bridge.Log();
  bridge.Process().Signal(SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(bridge.End(SIGTERM), 0);
  for (auto* unit : {first.get(), second.get()}) {
    ASSERT_TRUE(unit->WaitForConnectionsOpen(0, kBridgeWaitMs));
    EXPECT_EQ(unit->Frames().back().bytes, kdt::GoodbyeFrame());
  }
}

}  // namespace
