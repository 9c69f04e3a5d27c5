// kdt212-bridge as a service runs: the real program between simulated units
// and clients of its shared endpoints, all on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <thread>

#include "BridgeFixture.h"
#include "LoopbackPeer.h"
#include "PanelCommands.h"
#include "UnitThread.h"

using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;

using BridgeTest = SharedBridgeTest;

TEST_F(BridgeTest, ClientsShareTheOneConnectionToTheUnit) {
  StartShared();
  std::vector<std::unique_ptr<EndpointClient>> clients;
  for (int i = 0; i < 5; ++i) clients.push_back(Client());
  for (auto& client : clients) {
    kdt::UnitStatus status;
    ASSERT_TRUE(client->Poll(status));
    EXPECT_EQ(status.model, kdt::kModelKdt212);
    EXPECT_EQ(status.name[0], "Main feed");
  }
  EXPECT_EQ(unit_->ConnectionsAccepted(), 1);
  // The unit sees the bridge's polls only: the clients' polls are answered
  // from what the bridge holds.
  for (const auto& frame : unit_->Frames()) EXPECT_EQ(frame.bytes, kdt::PollFrame());
}

// A change at the unit is in the bridge within a cycle; from then on, every
// client's next poll shows it.
TEST_F(BridgeTest, AChangeAtTheUnitReachesEveryClientAtItsNextPoll) {
  StartShared();
  std::vector<std::unique_ptr<EndpointClient>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(Client());
  bridge_->Mark();
  Panel("input A 2");
  Panel("name C Foyer");
  ASSERT_TRUE(bridge_->WaitForLog("studio: RELAY C: name \"Main feed\" -> \"Foyer\""))
      << bridge_->Log();
  for (auto& client : clients) {
    kdt::UnitStatus status;
    ASSERT_TRUE(client->Poll(status));
    EXPECT_EQ(kdt::InputOf(status.state[2]), 2);
    EXPECT_EQ(status.name[0], "Foyer");
  }
}

// Commands from two clients at once reach the unit in the order they came,
// one per cycle, and each client is answered with the unit's reply to its
// own command.
TEST_F(BridgeTest, CommandsOfTwoClientsGoInArrivalOrderEachWithItsOwnReply) {
  sim::SimOptions slow;
  slow.delayMs = 150;  // the commands wait in the session's queue together
  StartShared("", slow);
  auto first = Client(), second = Client();
  kdt::UnitStatus firstReply, secondReply;
  std::thread firstCommand([&] { first->Exchange(kdt::SetInputFrame(2, 1), firstReply); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  std::thread secondCommand([&] { second->Exchange(kdt::SetNameFrame(1, "Second"), secondReply); });
  firstCommand.join();
  secondCommand.join();
  const auto frames = unit_->Frames();
  auto setInput = std::find_if(frames.begin(), frames.end(),
                               [](const auto& f) { return f.bytes == kdt::SetInputFrame(2, 1); });
  ASSERT_NE(setInput, frames.end());
  ASSERT_NE(setInput + 1, frames.end());
  EXPECT_EQ(setInput[1].bytes, kdt::SetNameFrame(1, "Second"));  // the next cycle
  EXPECT_EQ(kdt::InputOf(firstReply.state[0]), 2);
  EXPECT_EQ(firstReply.name[0], "Main feed");  // before the second command
  EXPECT_EQ(secondReply.name[0], "Second");
  EXPECT_EQ(kdt::InputOf(secondReply.state[0]), 2);
}

// The console's own session and kdt212ctl work through the endpoint as they
// would with the unit itself.
TEST_F(BridgeTest, TheConsolesSessionAndKdt212ctlWorkThroughTheEndpoint) {
  StartShared();
  kdt::TQmObject session;
  bool connected = false;
  std::uint8_t relayA = 0;
  session.OnConnect.Assign([&](kdt::TQmObject*, bool c) { connected = c; });
  session.OnStatus.Assign([&](kdt::TQmObject* s) { relayA = s->RelayState(3); });
  session.Start(kLoopback, listenPort_, 1);
  const auto pumpUntil = [](const auto& done) {
    const auto start = Clock::now();
    while (!done() && ElapsedMs(start) < kBridgeWaitMs) {
      QCoreApplication::processEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
  };
  ASSERT_TRUE(pumpUntil([&] { return connected && relayA != 0; }));
  const Finished run = RunToEnd(KDT_CTL_PATH, {"--address", kLoopback, "--port",
                                               std::to_string(listenPort_), "set", "A", "2"});
  EXPECT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_TRUE(pumpUntil([&] { return kdt::InputOf(relayA) == 2; }));
  session.SendSetName("From the console", 3);
  EXPECT_TRUE(pumpUntil([&] { return unit_->Status().name[2] == "From the console"; }));
  session.Stop();
  EXPECT_EQ(unit_->ConnectionsAccepted(), 1);
}

// A client that breaks the protocol, stalls inside a frame or stops reading
// is closed alone; the others go on, and nothing of it reaches the unit.
TEST_F(BridgeTest, MisbehavingClientsAreClosedAndTheOthersServed) {
  StartShared();
  auto good = Client();
  const auto goodStillServed = [&] {
    kdt::UnitStatus status;
    return good->Poll(status) && status.model == kdt::kModelKdt212;
  };

  // Each breaks the protocol, or sends what the console never would; the
  // first is logged, the rest of that kind from this host summed up later.
  const std::vector<std::vector<std::uint8_t>> garbage = {
      {0x04, 0x02, 0x02, 0x01, 0x00},                    // checksum
      {0x02, 0x07, 0xF7},                                // unknown code
      {0x03, 0x02, 0x02, 0xFB},                          // short set input
      {0x01, 0x00},                                      // too short
      kdt::SetInputFrame(3, 1),                          // no INPUT 3
      kdt::SetInputFrame(2, 9),                          // no relay 9
      kdt::SetInputFrame(1, 0),                          // no relay 0
      kdt::SetNameFrame(4, "Studio"),                    // no relay 4
      kdt::SetNameFrame(1, std::string("Stu\0dio", 7)),  // bytes behind the name's end
  };
  for (const auto& bytes : garbage) {
    EndpointClient client(listenPort_);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(tcp::SockSendAll(client.Handle(), bytes.data(), int(bytes.size()), 3000));
    EXPECT_TRUE(client.ClosedWithin(5000)) << kdt::FrameHex(bytes);
    EXPECT_TRUE(goodStillServed());
  }
  EXPECT_TRUE(bridge_->WaitForLog("closed: sent a frame that is not valid (04 02 02 01 00)"))
      << bridge_->Log();
  EndpointClient stalled(listenPort_);
  const std::uint8_t part[] = {0x04, 0x02};  // a set-input that never ends
  ASSERT_TRUE(tcp::SockSendAll(stalled.Handle(), part, 2, 3000));
  const auto start = Clock::now();
  EXPECT_TRUE(stalled.ClosedWithin(kBridgeWaitMs));
  EXPECT_GE(ElapsedMs(start), 2500);
  EXPECT_TRUE(bridge_->WaitForLog("stalled inside a frame for 3 s"));
  EXPECT_TRUE(goodStillServed());

  // Polls sent back to back, their replies never read.
  EndpointClient deaf(listenPort_);
  int buffer = 4096;
  setsockopt(deaf.Handle(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  const kdt::Frame poll = kdt::PollFrame();
  bool closed = false;
  const auto deafStart = Clock::now();
  while (!closed && ElapsedMs(deafStart) < kBridgeWaitMs) {
    closed = !tcp::SockSendAll(deaf.Handle(), poll.data(), int(poll.size()), 100) &&
             tcp::SockLastError() != tcp::kWaitTimeout;
    if (!closed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(closed);
  EXPECT_TRUE(bridge_->WaitForLog("stopped reading its replies")) << bridge_->Log();
  EXPECT_TRUE(goodStillServed());

  EXPECT_EQ(unit_->ConnectionsAccepted(), 1);
  for (const auto& frame : unit_->Frames()) EXPECT_EQ(frame.bytes, kdt::PollFrame());
}

TEST_F(BridgeTest, AllowAndMaxClients) {
  StartShared("ALLOW=127.0.0.1/32\nMAXCLIENTS=2\n");
  // From 127.0.0.2, which ALLOW leaves out.
  tcp::Socket outsider = tcp::kInvalidSocket;
  ASSERT_TRUE(tcp::SockOpen(outsider));
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7F000002);
  ASSERT_EQ(bind(outsider, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  ASSERT_TRUE(tcp::SockConnectTimeout(outsider, kLoopback, listenPort_, 3000));
  std::uint8_t byte = 0;
  EXPECT_FALSE(tcp::SockRecvAll(outsider, &byte, 1, 5000));
  EXPECT_NE(tcp::SockLastError(), tcp::kWaitTimeout);
  tcp::SockShutdownClose(outsider);
  EXPECT_TRUE(bridge_->WaitForLog("studio: refused 127.0.0.2:")) << bridge_->Log();
  EXPECT_TRUE(bridge_->WaitForLog(": not in ALLOW"));

  auto first = Client(), second = Client();
  EndpointClient third(listenPort_);
  EXPECT_TRUE(third.ClosedWithin(5000));
  EXPECT_TRUE(bridge_->WaitForLog("MAXCLIENTS (2) reached")) << bridge_->Log();
  kdt::UnitStatus status;
  EXPECT_TRUE(first->Poll(status) && second->Poll(status));
  first.reset();  // a place comes free
  EXPECT_TRUE(bridge_->WaitForLog("closed: closed by the client"));
  auto fourth = Client();
  EXPECT_TRUE(fourth->Poll(status));
}

// While the bridge has no live session, a client sees what it would see of
// a unit that is down: its connection closed at once, never a stale status.
TEST_F(BridgeTest, AUnitThatIsDownClosesItsClientsUntilItIsBack) {
  StartShared();
  auto client = Client();
  const std::uint16_t port = unit_->Port();
  unit_.reset();  // the unit goes
  EXPECT_TRUE(client->ClosedWithin(kBridgeWaitMs));
  EXPECT_TRUE(bridge_->WaitForLog("studio: lost: closed by the unit; trying again every second"))
      << bridge_->Log();
  EndpointClient meanwhile(listenPort_);
  EXPECT_TRUE(meanwhile.ClosedWithin(5000));
  // kdt212ctl sends the operator to the bridge's unit, not to the bridge.
  const Finished run = RunToEnd(
      KDT_CTL_PATH, {"--address", kLoopback, "--port", std::to_string(listenPort_), "status"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_NE(run.errors.find(": no reply: closed before any reply"), std::string::npos)
      << run.errors;

  sim::SimOptions options;
  options.port = port;
  std::string error;
  unit_ = StartRecordingUnit(options, error);
  ASSERT_TRUE(unit_) << error;
  bridge_->Mark();
  ASSERT_TRUE(bridge_->WaitForLog("studio: connected to")) << bridge_->Log();
  auto again = Client();
  kdt::UnitStatus status;
  EXPECT_TRUE(again->Poll(status));
  EXPECT_EQ(status.name[0], "Main feed");
}

// While a unit stays down, one line says so; the attempts every second say
// nothing (the reminder every 10 minutes: DownNotice's test).
TEST(Bridge, AUnitThatStaysDownIsOneLine) {
  const int port = FreeLoopbackPort();
  BridgeProcess bridge(UnitSection("gone", port));
  ASSERT_TRUE(bridge.WaitForLog("gone: cannot connect to 127.0.0.1:" + std::to_string(port) +
                                ": connection refused; trying again every second"))
      << bridge.Log();
  EXPECT_EQ(bridge.CountAfter(3500, "gone:"), 1) << bridge.Log();  // three more attempts
  EXPECT_EQ(bridge.End(), 0);
}

TEST(Bridge, CheckPrintsTheUnitsOrTheLineAtFault) {
  BridgeProcess sound(UnitSection("studio", 10001, 20001) + UnitSection("hall", 10002) +
                          "[MQTT]\nHOST=broker.local\nUSER=hub\n",
                      {"--check"});
  int status = 0;
  ASSERT_TRUE(sound.Process().WaitForExit(kBridgeWaitMs, status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(sound.Process().Output(),
            "studio: 127.0.0.1:10001, every 10 ms; shared on 127.0.0.1:20001 for 127.0.0.0/8, at "
            "most 16 clients\n"
            "hall: 127.0.0.1:10002, every 10 ms; not shared\n"
            "mqtt: broker.local:1883 as hub, topic kdt212, discovery under homeassistant\n");

  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--check"}, std::vector<std::string>{}}) {
    BridgeProcess faulty("[UNIT a]\nADDR=10.0.0.1\nPORT=99999\n", arguments);
    ASSERT_TRUE(faulty.Process().WaitForExit(kBridgeWaitMs, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
    EXPECT_EQ(faulty.Log(), "kdt212-bridge: " + faulty.ConfigPath() +
                                ":3: PORT: a port from 1 to 65535, not '99999'\n");
  }
}

// SIGHUP: units added start, removed ones get their goodbye, unchanged ones
// keep their session; a file that is now faulty is refused and all goes on.
TEST(Bridge, SighupAppliesTheFileAgainUnitByUnit) {
  std::string error;
  sim::SimOptions options;
  options.port = 0;
  auto first = StartRecordingUnit(options, error), second = StartRecordingUnit(options, error);
  ASSERT_TRUE(first && second) << error;
  BridgeProcess bridge(UnitSection("first", first->Port()));
  ASSERT_TRUE(bridge.WaitForLog("first: connected to")) << bridge.Log();

  bridge.Rewrite(UnitSection("first", first->Port()) + UnitSection("second", second->Port()));
  bridge.Mark();
  bridge.Process().Signal(SIGHUP);
  ASSERT_TRUE(bridge.WaitForLog("second: connected to")) << bridge.Log();
  EXPECT_EQ(first->ConnectionsAccepted(), 1);  // unchanged: its session goes on

  bridge.Rewrite(UnitSection("second", second->Port()) + "[UNIT broken]\n");
  bridge.Mark();
  bridge.Process().Signal(SIGHUP);
  ASSERT_TRUE(bridge.WaitForLog("not reloaded: " + bridge.ConfigPath() +
                                ":4: unit broken needs ADDR; the running units go on"))
      << bridge.Log();

  bridge.Rewrite(UnitSection("second", second->Port()));
  bridge.Mark();
  bridge.Process().Signal(SIGHUP);
  ASSERT_TRUE(bridge.WaitForLog("first: removed")) << bridge.Log();
  ASSERT_TRUE(first->WaitForConnectionsOpen(0, kBridgeWaitMs));
  EXPECT_EQ(FramesWithCode(*first, kdt::kCmdGoodbye).size(), 1u);
  EXPECT_EQ(second->ConnectionsAccepted(), 1);
  EXPECT_EQ(bridge.End(), 0);
}

TEST(Bridge, SigtermEndsEverySessionWithItsGoodbye) {
  std::string error;
  sim::SimOptions options;
  options.port = 0;
  auto first = StartRecordingUnit(options, error), second = StartRecordingUnit(options, error);
  ASSERT_TRUE(first && second) << error;
  BridgeProcess bridge(UnitSection("first", first->Port(), FreeLoopbackPort()) +
                       UnitSection("second", second->Port()));
  ASSERT_TRUE(bridge.WaitForLog("first: connected to")) << bridge.Log();
  ASSERT_TRUE(bridge.WaitForLog("second: connected to")) << bridge.Log();
  EXPECT_EQ(bridge.End(SIGTERM), 0);
  for (auto* unit : {first.get(), second.get()}) {
    ASSERT_TRUE(unit->WaitForConnectionsOpen(0, kBridgeWaitMs));
    EXPECT_EQ(unit->Frames().back().bytes, kdt::GoodbyeFrame());
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  kdt::UnitThreadStartup();
  const int result = RUN_ALL_TESTS();
  kdt::UnitThreadShutdown();
  return result;
}
