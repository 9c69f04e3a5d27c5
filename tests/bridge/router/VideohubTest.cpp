// The 9990 text face against the real bridge and simulated units: what a
// controller's router module sees and what it may do, as the protocol's
// public document lays it out.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QJsonArray>
#include <chrono>
#include <thread>

#include "RecordingUnit.h"
#include "RouterFixture.h"

namespace testsupport {
namespace {

using Lines = std::vector<std::string>;

constexpr const char* kRouting = "VIDEO OUTPUT ROUTING:";
constexpr const char* kLocks = "VIDEO OUTPUT LOCKS:";

// The next block, which must be `header` with `lines`.
void ExpectBlock(VideohubPeer& hub, const std::string& header, const Lines& lines) {
  const std::optional<HubBlock> block = hub.Next();
  ASSERT_TRUE(block) << "no " << header;
  EXPECT_EQ(block->header, header);
  EXPECT_EQ(block->lines, lines) << header;
}

using VideohubTest = RouterTest;

TEST_F(VideohubTest, AClientIsToldEverythingInTheProtocolsOrder) {
  StartRouters("INPUT1=Camera 1\n");
  VideohubPeer hub(hubPort_, kLoopback);
  const std::vector<HubBlock> dump = hub.Dump();
  ASSERT_EQ(dump.size(), 6u);
  EXPECT_EQ(dump[0].header, "PROTOCOL PREAMBLE:");
  EXPECT_EQ(dump[0].lines, Lines{"Version: 2.8"});
  EXPECT_EQ(dump[1].header, "VIDEOHUB DEVICE:");
  ASSERT_EQ(dump[1].lines.size(), 9u);
  EXPECT_EQ(dump[1].lines[0], "Device present: true");
  EXPECT_EQ(dump[1].lines[1], "Model name: VORNEX KDT-212");
  EXPECT_EQ(dump[1].lines[2], "Friendly name: studio");
  EXPECT_TRUE(dump[1].lines[3].starts_with("Unique ID: "));
  EXPECT_EQ(dump[1].lines[3].size(), std::string("Unique ID: ").size() + 12);
  EXPECT_EQ(Lines(dump[1].lines.begin() + 4, dump[1].lines.end()),
            (Lines{"Video inputs: 2", "Video processing units: 0", "Video outputs: 3",
                   "Video monitoring outputs: 0", "Serial ports: 0"}));
  EXPECT_EQ(dump[2].header, "INPUT LABELS:");
  EXPECT_EQ(dump[2].lines, (Lines{"0 Camera 1", "1 INPUT 2"}));
  EXPECT_EQ(dump[3].header, "OUTPUT LABELS:");
  EXPECT_EQ(dump[3].lines, (Lines{"0 Monitor", "1 Backup feed", "2 Main feed"}));
  EXPECT_EQ(dump[4].header, kLocks);
  EXPECT_EQ(dump[4].lines, (Lines{"0 U", "1 U", "2 U"}));
  EXPECT_EQ(dump[5].header, kRouting);
  EXPECT_EQ(dump[5].lines, (Lines{"0 0", "1 0", "2 0"}));
  EXPECT_TRUE(hub.Quiet(300));
  // The same unit is the same router to a controller that comes again.
  VideohubPeer again(hubPort_, kOtherHost);
  EXPECT_EQ(again.Dump()[1].lines[3], dump[1].lines[3]);
}

// ACK first, then the routing block to every client once the unit shows
// it; a route to what already stands gets its block at once, and only its
// sender hears of it.
TEST_F(VideohubTest, ARouteIsAcknowledgedAndShownToEveryClient) {
  StartRouters();
  auto sender = HubClient();
  auto other = HubClient(kOtherHost);
  bridge_->Mark();
  ASSERT_TRUE(sender->Send("VIDEO OUTPUT ROUTING:\r\n0 1\r\n\r\n"));
  ExpectBlock(*sender, "ACK", {});
  ExpectBlock(*sender, kRouting, {"0 1"});
  ExpectBlock(*other, kRouting, {"0 1"});
  EXPECT_EQ(kdt::InputOf(unit_->Status().state[2]), 2);  // RELAY A
  EXPECT_TRUE(
      bridge_->WaitForLog("studio: RELAY A: input INPUT 1 -> INPUT 2, by videohub 127.0.0.1"))
      << bridge_->Log();

  ASSERT_TRUE(sender->Send("VIDEO OUTPUT ROUTING:\n1 0\n\n"));
  ExpectBlock(*sender, "ACK", {});
  ExpectBlock(*sender, kRouting, {"1 0"});
  EXPECT_TRUE(other->Quiet(500));
}

// What changes at the unit's front panel reaches both faces unasked.
TEST_F(VideohubTest, AFrontPanelChangeReachesBothFaces) {
  StartRouters();
  auto hub = HubClient();
  auto panel = Swp08Client();
  ASSERT_TRUE(panel->Message({0x66, 0x00, 0x01}));  // destination names, 8 characters
  ASSERT_TRUE(panel->NextOf(0x6B));
  Panel(*unit_, "input B 2");
  ExpectBlock(*hub, kRouting, {"1 1"});
  const std::optional<Swp08Item> connected = panel->NextOf(0x04);
  ASSERT_TRUE(connected);
  EXPECT_EQ(connected->data, std::string("\x04\x00\x00\x01\x01", 5));
  Panel(*unit_, "name C Studio out");
  ExpectBlock(*hub, "OUTPUT LABELS:", {"2 Studio out"});
  const std::optional<Swp08Item> names = panel->NextOf(0x6B);
  ASSERT_TRUE(names);
  EXPECT_EQ(names->data.substr(6), "Monitor Backup fStudio o");
}

// What cannot be carried out now is NAK, and nothing goes to the unit.
TEST_F(VideohubTest, ARouteThatCannotBeCarriedOutIsRefusedAndNothingIsSent) {
  StartRouters("", {"ann:admin:ann's Pa55"});
  auto hub = HubClient();
  const std::string cookie = LogIn("ann", "ann's Pa55");
  ASSERT_EQ(Post("/api/units/studio/relays/b/protect", "{\"on\":true}", cookie).status, 200);
  Panel(*unit_, "lock C on");
  for (std::optional<HubBlock> locks = hub->NextOf(kLocks); locks && locks->lines.back() != "2 L";
       locks = hub->NextOf(kLocks)) {
  }
  const std::size_t sent = FramesWithCode(*unit_, kdt::kCmdSetInput).size();
  const char* refused[] = {
      "VIDEO OUTPUT ROUTING:\n1 1\n\n",       // protected by a page user
      "VIDEO OUTPUT ROUTING:\n2 1\n\n",       // locked at the unit
      "VIDEO OUTPUT ROUTING:\n0 1\n2 1\n\n",  // one of two cannot: neither goes
      "VIDEO OUTPUT ROUTING:\n3 0\n\n",       // no such output
      "VIDEO OUTPUT ROUTING:\n0 2\n\n",       // no such input
      "VIDEO OUTPUT ROUTING:\n0 1\n0 0\n\n",  // one output twice
      "VIDEO OUTPUT ROUTING:\n0\n\n",
      "VIDEO OUTPUT ROUTING:\nzero one\n\n",
      "INPUT LABELS:\n0 Camera\n\n",         // the file holds them
      "OUTPUT LABELS:\n0 \xE4\xB8\xAD\n\n",  // the unit's code page has no such character
      "OUTPUT LABELS:\n0 "
      "abcdefghijklmnopqrstuvwxy\n\n",  // 25 characters
      "VIDEO OUTPUT LOCKS:\n1 U\n\n",   // another's
      "VIDEO OUTPUT LOCKS:\n1 F\n\n",   // forced: admin only
      "VIDEO OUTPUT LOCKS:\n0 X\n\n",
      "TAKE ALL:\n0 1\n\n",
      "PROTOCOL PREAMBLE:\nVersion: 3\n\n",
  };
  for (const char* block : refused) {
    ASSERT_TRUE(hub->Send(block));
    ExpectBlock(*hub, "NAK", {});
  }
  EXPECT_TRUE(hub->Quiet(500));
  EXPECT_EQ(FramesWithCode(*unit_, kdt::kCmdSetInput).size(), sent);
  EXPECT_EQ(FramesWithCode(*unit_, kdt::kCmdSetName).size(), 0u);
}

// With the unit down, a controller is told so, routes are refused, and it
// is told everything once the unit is back.
TEST_F(VideohubTest, AUnitDownIsSaidAndItsReturnTellsEverything) {
  StartRouters();
  auto hub = HubClient();
  unit_->SetFault(sim::Fault::kClose, 0);
  ExpectBlock(*hub, "VIDEOHUB DEVICE:", {"Device present: false"});
  ASSERT_TRUE(hub->Send("VIDEO OUTPUT ROUTING:\n0 1\n\n"));
  ExpectBlock(*hub, "NAK", {});
  VideohubPeer late(hubPort_, kOtherHost);
  const std::vector<HubBlock> dump = late.Dump();
  ASSERT_EQ(dump.size(), 6u);
  EXPECT_EQ(dump[1].lines[0], "Device present: false");
  EXPECT_EQ(dump[5].lines, (Lines{"0 0", "1 0", "2 0"}));  // as last known
  unit_->SetFault(sim::Fault::kNone, 0);
  const std::optional<HubBlock> device = hub->NextOf("VIDEOHUB DEVICE:", kBridgeWaitMs);
  ASSERT_TRUE(device);
  EXPECT_EQ(device->lines[0], "Device present: true");
  for (const char* header : {"INPUT LABELS:", "OUTPUT LABELS:", kLocks, kRouting}) {
    const std::optional<HubBlock> block = hub->Next();
    ASSERT_TRUE(block);
    EXPECT_EQ(block->header, header);
  }
}

// Several routes in one block are one take: when one of them fails on
// the way, the others are put back, and every client sees both.
TEST_F(VideohubTest, ATakeThatFailsHalfWayIsUndone) {
  StartRouters();
  auto sender = HubClient();
  auto other = HubClient(kOtherHost);
  Panel(*unit_, "delay switch 1500");
  ASSERT_TRUE(sender->Send("VIDEO OUTPUT ROUTING:\n0 1\n1 1\n\n"));
  ExpectBlock(*sender, "ACK", {});
  Panel(*unit_, "lock B on");  // while RELAY A settles
  ExpectBlock(*other, kLocks, {"1 L"});
  ExpectBlock(*other, kRouting, {"0 1"});
  ExpectBlock(*other, kRouting, {"0 0"});
  EXPECT_TRUE(bridge_->WaitForLog("studio: take undone, by videohub 127.0.0.1")) << bridge_->Log();
  EXPECT_EQ(kdt::InputOf(unit_->Status().state[2]), 1);
  EXPECT_EQ(kdt::InputOf(unit_->Status().state[1]), 1);
}

// A unit that falls silent in the middle of a take: what was sent is lost
// with the session, nothing more is sent, the take is undone, and once the
// unit is back every client is told what it really holds.
TEST_F(VideohubTest, ATakeCutShortByASilentUnitSendsNothingMore) {
  StartRouters();
  auto sender = HubClient();
  auto other = HubClient(kOtherHost);
  Panel(*unit_, "delay switch 1500");
  ASSERT_TRUE(sender->Send("VIDEO OUTPUT ROUTING:\n0 1\n1 1\n\n"));
  ExpectBlock(*sender, "ACK", {});
  unit_->SetFault(sim::Fault::kSilent, 0);  // RELAY A's switch is never answered
  ExpectBlock(*other, "VIDEOHUB DEVICE:", {"Device present: false"});
  EXPECT_TRUE(bridge_->WaitForLog("studio: take undone, by videohub 127.0.0.1")) << bridge_->Log();
  Panel(*unit_, "delay switch 0");
  unit_->SetFault(sim::Fault::kNone, 0);
  const std::optional<HubBlock> routing = other->NextOf(kRouting, kBridgeWaitMs);
  ASSERT_TRUE(routing);
  EXPECT_EQ(routing->lines, (Lines{"0 1", "1 0", "2 0"}));  // A switched unseen; B never sent
  EXPECT_EQ(FramesWithCode(*unit_, kdt::kCmdSetInput).size(), 1u);
}

// New labels of the file reach every face's clients at once, and a role
// taken at a reload holds from then on.
TEST_F(VideohubTest, AReloadTellsNewLabelsAndItsRole) {
  StartRouters("INPUT1=Camera 1\n");
  auto hub = HubClient();
  auto panel = Swp08Client();
  ASSERT_TRUE(panel->Message({0x64, 0x00, 0x02}));  // source names, 12 characters
  ASSERT_TRUE(panel->NextOf(0x6A));
  Reload("INPUT1=Camera 3\nINPUT2=Studio \xD0\x91\nROUTER_ROLE=view\n");
  ExpectBlock(*hub, "INPUT LABELS:", {"0 Camera 3", "1 Studio \xD0\x91"});
  const std::optional<Swp08Item> names = panel->NextOf(0x6A);
  ASSERT_TRUE(names);
  EXPECT_EQ(names->data.substr(6), "Camera 3    Studio ?    ");
  const QJsonObject units = Json(Get("/api/units").body);
  const QJsonArray inputs = units["units"].toArray()[0].toObject()["inputs"].toArray();
  ASSERT_EQ(inputs.size(), 2);
  EXPECT_EQ(inputs[0].toString(), "Camera 3");
  for (const char* block : {"VIDEO OUTPUT ROUTING:\n0 1\n\n", "OUTPUT LABELS:\n0 Out\n\n",
                            "VIDEO OUTPUT LOCKS:\n0 O\n\n"}) {
    ASSERT_TRUE(hub->Send(block));
    ExpectBlock(*hub, "NAK", {});
  }
}

// Locks as each client sees them: its own O, anyone else's L, free U; a
// controller that comes again still owns what it protected; forced
// release is an admin's.
TEST_F(VideohubTest, LocksSayWhoseTheyAre) {
  StartRouters("", {"ann:admin:ann's Pa55"});
  auto mine = HubClient();
  auto theirs = HubClient(kOtherHost);
  ASSERT_TRUE(mine->Send("VIDEO OUTPUT LOCKS:\n0 O\n\n"));
  ExpectBlock(*mine, "ACK", {});
  ExpectBlock(*mine, kLocks, {"0 O"});
  ExpectBlock(*theirs, kLocks, {"0 L"});
  const std::string cookie = LogIn("ann", "ann's Pa55");
  const QJsonObject units = Json(Get("/api/units", cookie).body);
  const QJsonObject studio = units["units"].toArray()[0].toObject();
  const QJsonObject relayA = studio["relays"].toArray()[0].toObject();
  EXPECT_EQ(relayA["protected"].toObject()["by"].toString(), "videohub 127.0.0.1");

  mine.reset();
  auto again = std::make_unique<VideohubPeer>(hubPort_, kLoopback);
  const std::vector<HubBlock> dump = again->Dump();
  ASSERT_EQ(dump.size(), 6u);
  EXPECT_EQ(dump[4].lines, (Lines{"0 O", "1 U", "2 U"}));

  ASSERT_TRUE(theirs->Send("VIDEO OUTPUT LOCKS:\n0 F\n\n"));
  ExpectBlock(*theirs, "NAK", {});
  ASSERT_EQ(Post("/api/units/studio/relays/a/protect", "{\"on\":false}", cookie).status, 200);
  ExpectBlock(*again, kLocks, {"0 U"});
  ExpectBlock(*theirs, kLocks, {"0 U"});

  ASSERT_TRUE(again->Send("VIDEO OUTPUT LOCKS:\n0 O\n\n"));
  ExpectBlock(*again, "ACK", {});
  ASSERT_TRUE(theirs->NextOf(kLocks));
  Reload("ROUTER_ROLE=admin\n");
  ASSERT_TRUE(theirs->Send("VIDEO OUTPUT LOCKS:\n0 F\n\n"));
  ExpectBlock(*theirs, "ACK", {});
  ExpectBlock(*theirs, kLocks, {"0 U"});
  EXPECT_TRUE(bridge_->WaitForLog(
      "studio: RELAY A: forced release videohub 127.0.0.1 -> none, by videohub 127.0.0.2"))
      << bridge_->Log();
}

TEST_F(VideohubTest, AHeaderAloneAsksForItsBlockAndPingIsAcknowledged) {
  StartRouters();
  auto hub = HubClient();
  ASSERT_TRUE(hub->Send("PING:\n\nVIDEO OUTPUT LOCKS:\n\nINPUT LABELS:\n\nVIDEOHUB DEVICE:\n\n"));
  ExpectBlock(*hub, "ACK", {});
  ExpectBlock(*hub, "ACK", {});
  ExpectBlock(*hub, kLocks, {"0 U", "1 U", "2 U"});
  ExpectBlock(*hub, "ACK", {});
  ExpectBlock(*hub, "INPUT LABELS:", {"0 INPUT 1", "1 INPUT 2"});
  ExpectBlock(*hub, "ACK", {});
  const std::optional<HubBlock> device = hub->Next();
  ASSERT_TRUE(device);
  EXPECT_EQ(device->lines.size(), 9u);
}

// A client that breaks the protocol's bounds goes with one log line; the
// others are served as before.
TEST_F(VideohubTest, WhatBreaksTheBoundsClosesThatClientAlone) {
  StartRouters();
  auto other = HubClient(kOtherHost);
  struct Case {
    const char* what;
    std::string bytes;
    const char* logged;
  };
  std::string manyLines = "VIDEO OUTPUT ROUTING:\n";
  for (int line = 0; line < 65; ++line) manyLines += "0 0\n";
  const Case cases[] = {
      {"a long line", "PING:\n" + std::string(1100, 'x'), "closed: sent a line over 1 KiB"},
      {"many lines", manyLines, "closed: sent a block of more than 64 lines"},
  };
  for (const Case& c : cases) {
    auto hub = HubClient();
    bridge_->Mark();
    ASSERT_TRUE(hub->Send(c.bytes));
    EXPECT_TRUE(hub->ClosedWithin(kBridgeWaitMs)) << c.what;
    ASSERT_TRUE(bridge_->WaitForLog(c.logged)) << bridge_->Log();
    EXPECT_EQ(bridge_->CountAfter(300, c.logged), 1) << bridge_->Log();
  }
  // One that asks and never reads what it is sent: with a small receive
  // buffer, so that the bridge has to hold what it cannot send soon, and the
  // flood stays small.
  auto flood = HubClient();
  const int smallBuffer = 4096;
  setsockopt(flood->Handle(), SOL_SOCKET, SO_RCVBUF, &smallBuffer, sizeof smallBuffer);
  std::string pings;
  for (int i = 0; i < 2000; ++i) pings += "VIDEO OUTPUT ROUTING:\n\n";
  bridge_->Mark();
  for (int i = 0; i < 200 && flood->Send(pings); ++i) {
  }
  EXPECT_TRUE(bridge_->WaitForLog("closed: stopped reading what it was sent")) << bridge_->Log();
  ASSERT_TRUE(other->Send("PING:\n\n"));
  ExpectBlock(*other, "ACK", {});
}

// Neither protocol goes a minute without a byte: a client that does is
// gone, while one that pings stays.
TEST_F(VideohubTest, AClientSilentForAMinuteIsClosed) {
  StartRouters();
  auto silent = HubClient();
  auto silentPanel = Swp08Client();
  auto pinging = HubClient(kOtherHost);
  bridge_->Mark();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(pinging->Send("PING:\n\n"));
    ExpectBlock(*pinging, "ACK", {});
    if (i < 2) std::this_thread::sleep_for(std::chrono::seconds(25));
  }
  EXPECT_TRUE(silent->ClosedWithin(kBridgeWaitMs));
  EXPECT_TRUE(silentPanel->ClosedWithin(kBridgeWaitMs));
  EXPECT_TRUE(bridge_->WaitForLog("videohub client 127.0.0.1")) << bridge_->Log();
  EXPECT_TRUE(bridge_->WaitForLog("closed: sent nothing for 60 s")) << bridge_->Log();
  ASSERT_TRUE(pinging->Send("PING:\n\n"));
  ExpectBlock(*pinging, "ACK", {});
}

}  // namespace
}  // namespace testsupport
