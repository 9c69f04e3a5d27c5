// Salvos and protects through the bridge's HTTP interface, its shared
// endpoint and MQTT: the real kdt212-bridge between simulated units (or a
// scripted one), the real broker, and clients of the test's own, every
// outcome checked at the units.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Broker.h"
#include "LoopbackPeer.h"
#include "MqttProbe.h"
#include "WebFixture.h"

using namespace testsupport;

namespace {

const std::string kEvening =
    "[SALVO evening]\nLABEL=Evening programme\nstudio.A=2\nstudio.B=1\nhall.C=2\n";
const std::vector<std::string> kUsers = {"alice:operate:a-Pa55", "bob:operate:b-Pa55",
                                         "carol:admin:c-Pa55", "dave:view:d-Pa55"};

int InputAt(const sim::SimUnit& unit, char letter) {
  return kdt::InputOf(unit.Status().state[kdt::RelayOfLetter(letter) - 1]);
}

// Each relay of a take's answer as "unit.R from->to now: outcome".
std::vector<std::string> Outcomes(const QJsonObject& answer) {
  std::vector<std::string> outcomes;
  for (const QJsonValue& value : answer["relays"].toArray()) {
    const QJsonObject relay = value.toObject();
    const auto input = [&relay](const char* key) {
      return relay[key].isNull() ? std::string("-") : std::to_string(relay[key].toInt());
    };
    outcomes.push_back(relay["unit"].toString().toStdString() + "." +
                       relay["relay"].toString().toStdString() + " " + input("from") + "->" +
                       input("to") + " " + input("now") + ": " +
                       relay["outcome"].toString().toStdString());
  }
  return outcomes;
}

class SalvoTest : public WebTest {
 protected:
  QJsonObject Take(const std::string& salvo, const std::string& cookie = "") {
    const HttpAnswer answer = Post("/api/salvos/" + salvo + "/take", "{}", cookie);
    EXPECT_EQ(answer.status, 200) << answer.body;
    return Json(answer.body);
  }
  std::size_t Switches() const {
    return FramesWithCode(*unit_, kdt::kCmdSetInput).size() +
           FramesWithCode(*hall_, kdt::kCmdSetInput).size();
  }
  QJsonObject Relay(const std::string& unit, char letter, const std::string& cookie = "") {
    for (const QJsonValue& value : Json(Get("/api/units", cookie).body)["units"].toArray()) {
      if (value["id"].toString().toStdString() != unit) continue;
      for (const QJsonValue& relay : value["relays"].toArray()) {
        if (relay["relay"].toString() == QString(QChar(letter))) return relay.toObject();
      }
    }
    return {};
  }
};

// The salvo as listed, then taken: each relay not yet on its input is
// switched, the units at once, and the record names the salvo as the cause.
TEST_F(SalvoTest, ATakeSwitchesEveryRelayThatDiffersAndNamesTheSalvo) {
  StartWeb(kUsers, kEvening);
  const std::string alice = LogIn("alice", "a-Pa55");
  const QJsonObject listed = Json(Get("/api/salvos", alice).body)["salvos"][0].toObject();
  EXPECT_EQ(listed["id"].toString(), "evening");
  EXPECT_EQ(listed["label"].toString(), "Evening programme");
  EXPECT_EQ(listed["relays"].toArray().size(), 3);
  EXPECT_EQ(listed["relays"][2].toObject()["unit"].toString(), "hall");
  EXPECT_EQ(listed["differs"].toInt(), 2);
  // Which relays a take would switch: studio.A and hall.C, not studio.B.
  EXPECT_TRUE(listed["relays"][0].toObject()["changes"].toBool());
  EXPECT_FALSE(listed["relays"][1].toObject()["changes"].toBool());
  EXPECT_TRUE(listed["relays"][2].toObject()["changes"].toBool());

  const QJsonObject answer = Take("evening", alice);
  EXPECT_EQ(answer["salvo"].toString(), "evening");
  EXPECT_EQ(answer["result"].toString(), "done");
  EXPECT_EQ(Outcomes(answer),
            (std::vector<std::string>{"studio.A 1->2 2: switched", "studio.B 1->1 1: already",
                                      "hall.C 1->2 2: switched"}));
  EXPECT_EQ(InputAt(*unit_, 'A'), 2);
  EXPECT_EQ(InputAt(*hall_, 'C'), 2);
  EXPECT_EQ(Switches(), 2u);  // nothing for the relay already on its input
  EXPECT_EQ(Json(Get("/api/salvos", alice).body)["salvos"][0]["differs"].toInt(), 0);

  EXPECT_TRUE(
      bridge_->WaitForLog("studio: RELAY A: input INPUT 1 -> INPUT 2, by web alice, "
                          "salvo evening"))
      << bridge_->Log();
  EXPECT_TRUE(bridge_->WaitForLog("salvo evening: take done, by web alice"));
  const std::string log = Get("/api/log", alice).body;
  EXPECT_NE(log.find("\"salvo\":\"evening\",\"change\":\"take\",\"from\":\"\",\"to\":\"done\","
                     "\"by\":\"web alice\""),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\"to\":\"INPUT 2\",\"by\":\"web alice, salvo evening\""), std::string::npos);

  // Taken again, it has nothing to change.
  EXPECT_EQ(Outcomes(Take("evening", alice)),
            (std::vector<std::string>{"studio.A 2->2 2: already", "studio.B 1->1 1: already",
                                      "hall.C 2->2 2: already"}));
  EXPECT_EQ(Switches(), 2u);
}

// What stands in the way of any relay refuses the whole take, and nothing
// goes to either unit.
TEST_F(SalvoTest, WhatStandsInTheWayIsNamedAndNothingIsSent) {
  struct Row {
    std::string what;
    std::function<void()> make;
    std::vector<std::string> outcomes;
  };
  const Row rows[] = {
      {"a relay locked at the unit",
       [this] {
         Panel(*hall_, "lock C on");
         ASSERT_TRUE(bridge_->WaitForLog("hall: RELAY C: lock unlocked -> locked"));
       },
       {"studio.A 1->2 1: not sent", "studio.B 1->1 1: already",
        "hall.C 1->2 1: stands in the way: RELAY C is locked at the unit"}},
      {"a unit that is down",
       [this] {
         hall_.reset();
         ASSERT_TRUE(bridge_->WaitForLog("hall: lost"));
         // Its reason as it stays: the bridge's next attempt finds nobody.
         const std::string carol = LogIn("carol", "c-Pa55");
         ASSERT_TRUE(WaitUntil(
             [&] {
               return Json(Get("/api/units", carol).body)["units"][1]
                          .toObject()["reason"]
                          .toString() == "connection refused";
             },
             kBridgeWaitMs));
       },
       {"studio.A 1->2 1: not sent", "studio.B 1->1 1: already",
        "hall.C -->2 -: stands in the way: hall is not connected: connection refused"}},
      {"a relay protected by someone else",
       [this] {
         const std::string bob = LogIn("bob", "b-Pa55");
         ASSERT_EQ(Post("/api/units/studio/relays/a/protect", "{\"on\":true}", bob).status, 200);
       },
       {"studio.A 1->2 1: stands in the way: RELAY A is protected by bob",
        "studio.B 1->1 1: already", "hall.C 1->2 1: not sent"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    StartWeb(kUsers, kEvening);
    row.make();
    const std::string alice = LogIn("alice", "a-Pa55");
    const QJsonObject answer = Take("evening", alice);
    EXPECT_EQ(answer["result"].toString(), "refused");
    EXPECT_EQ(Outcomes(answer), row.outcomes);
    EXPECT_EQ(FramesWithCode(*unit_, kdt::kCmdSetInput).size(), 0u);
    if (hall_) {
      EXPECT_EQ(FramesWithCode(*hall_, kdt::kCmdSetInput).size(), 0u);
    }
    EXPECT_TRUE(bridge_->WaitForLog("salvo evening: take refused, by web alice: "));
    bridge_.reset();
  }
}

// One unit falls silent as the take begins: its relay fails when the unit
// is lost, and every relay the other unit switched goes back where it was.
TEST_F(SalvoTest, AUnitLostInTheMiddleIsUndoneAndTheRestPutBack) {
  StartWeb({}, "[SALVO night]\nhall.A=2\nstudio.A=2\nstudio.B=2\nstudio.C=2\n");
  Panel(*hall_, "fault silent");
  HttpPeer first(port_);
  ASSERT_TRUE(first.Send(HttpRequestText("POST", "/api/salvos/night/take", kJson, "{}")));
  ASSERT_TRUE(bridge_->WaitForLog("by web, salvo night"));  // studio's first switch: it runs
  // Meanwhile another take of it finds every relay being switched.
  const QJsonObject again = Take("night");
  EXPECT_EQ(again["result"].toString(), "refused");
  for (const std::string& outcome : Outcomes(again)) {
    EXPECT_NE(outcome.find(": stands in the way: salvo night is switching it"), std::string::npos)
        << outcome;
  }
  const HttpAnswer taken = first.Read(15000);
  ASSERT_EQ(taken.status, 200);
  const QJsonObject answer = Json(taken.body);
  EXPECT_EQ(answer["result"].toString(), "undone");
  const std::vector<std::string> outcomes = Outcomes(answer);
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_EQ(outcomes[0].rfind("hall.A 1->2 ", 0), 0u) << outcomes[0];  // lost, or about to be
  EXPECT_NE(outcomes[0].find(": failed: "), std::string::npos) << outcomes[0];
  for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(outcomes[i].substr(9), "1->2 1: put back");
  // Whether hall took its command before it fell silent, nobody can know:
  // the answer names its relay as failed, where it stands as unknown.
  for (char letter : {'A', 'B', 'C'}) EXPECT_EQ(InputAt(*unit_, letter), 1) << letter;
  EXPECT_EQ(FramesWithCode(*unit_, kdt::kCmdSetInput).size(), 6u);  // three there, three back
  EXPECT_TRUE(bridge_->WaitForLog("salvo night: take undone, by web: hall RELAY A failed: "));
  // Put back as a stack: the last switched first.
  std::vector<std::size_t> putBack;
  for (char letter : {'C', 'B', 'A'}) {
    const std::string line = std::string("studio: RELAY ") + letter +
                             ": input INPUT 2 -> INPUT 1, by web, put back, salvo night";
    ASSERT_TRUE(bridge_->WaitForLog(line)) << bridge_->Log();
    putBack.push_back(bridge_->Log().find(line));
  }
  EXPECT_TRUE(std::is_sorted(putBack.begin(), putBack.end())) << bridge_->Log();
}

// A unit that takes 2 s for each switch, busy with a page's switch when a
// take comes: the take's first switch waits its turn and is still with the
// unit at 3 s. The take waits for it, and says what happened: done, never
// undone while a switch lands after it.
TEST(Salvo, ATakeWaitsForASwitchStillWithTheUnit) {
  std::atomic<int> switches{0};
  ScriptedPeer slow(ScriptedUnit(
      [&switches](const kdt::ClientFrame& read, kdt::UnitStatus& status, ScriptedPeer::Link& link) {
        if (read.code != kdt::kCmdSetInput) return;
        ++switches;
        link.Sleep(2000);
        status.state[read.relay - 1] = kdt::WithInput(status.state[read.relay - 1], read.input);
      }));
  const int port = FreeLoopbackPort();
  BridgeProcess bridge(StudioAndPage(slow.Port(), port, "[SALVO both]\nstudio.A=2\nstudio.C=2\n"));
  ASSERT_TRUE(bridge.WaitForLog("studio: connected to")) << bridge.Log();
  HttpPeer busy(port), page(port);
  ASSERT_TRUE(busy.Send(
      HttpRequestText("POST", "/api/units/studio/relays/b/input", kJson, "{\"input\":2}")));
  const auto start = std::chrono::steady_clock::now();
  while (switches == 0 && ElapsedMs(start) < kBridgeWaitMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(switches, 1) << "the page's switch never reached the unit";
  const HttpAnswer answer =
      page.Exchange(HttpRequestText("POST", "/api/salvos/both/take", kJson, "{}"), 20000);
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(Json(answer.body)["result"].toString(), "done") << answer.body;
  EXPECT_EQ(Outcomes(Json(answer.body)),
            (std::vector<std::string>{"studio.A 1->2 2: switched", "studio.C 1->2 2: switched"}));
  EXPECT_TRUE(bridge.WaitForLog("salvo both: take done, by web"));
  EXPECT_EQ(bridge.Log().find("undone"), std::string::npos) << bridge.Log();
}

// A unit that switches one relay and is then lost: the relay it switched
// cannot go back, and the answer says where each relay stands.
TEST(Salvo, PartialWhenPuttingBackFailsToo) {
  ScriptedPeer unit([](ScriptedPeer::Link& link) {
    kdt::UnitStatus status = kdt::DecodeReply(Kdt212Reply());
    for (;;) {
      const std::vector<std::uint8_t> length = link.Read(1);
      if (length.empty()) return;
      std::vector<std::uint8_t> frame = length;
      const std::vector<std::uint8_t> rest = link.Read(length[0]);
      if (rest.size() != length[0]) return;
      frame.insert(frame.end(), rest.begin(), rest.end());
      kdt::ClientFrame read;
      const bool command = kdt::ReadClientFrame(frame, read) && read.code == kdt::kCmdSetInput;
      if (command)
        status.state[read.relay - 1] = kdt::WithInput(status.state[read.relay - 1], read.input);
      const kdt::ReplyBytes reply = kdt::EncodeReply(status);
      link.Send(reply.data(), reply.size());
      if (command) return link.HoldOpen();  // lost after its first switch
    }
  });
  const int port = FreeLoopbackPort();
  BridgeProcess bridge(UnitSection("studio", unit.Port()) + "[HTTP]\nLISTEN=127.0.0.1:" +
                       std::to_string(port) + "\n[SALVO both]\nstudio.A=2\nstudio.B=2\n");
  ASSERT_TRUE(bridge.WaitForLog("studio: connected to")) << bridge.Log();
  HttpPeer page(port);
  const HttpAnswer answer =
      page.Exchange(HttpRequestText("POST", "/api/salvos/both/take", kJson, "{}"), 15000);
  unit.Release();
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(Json(answer.body)["result"].toString(), "partial");
  const std::vector<std::string> outcomes = Outcomes(Json(answer.body));
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes[0].rfind("studio.A 1->2 -: not put back: ", 0), 0u) << outcomes[0];
  EXPECT_EQ(outcomes[1].rfind("studio.B 1->2 -: failed: ", 0), 0u) << outcomes[1];
  EXPECT_TRUE(bridge.WaitForLog("salvo both: take partial, by web"));
}

// A reload that changes the salvos tells every stream, so that each page
// lists them anew; one that changes nothing of them says nothing.
TEST_F(SalvoTest, AReloadThatChangesTheSalvosTellsTheStreams) {
  StartWeb({}, kEvening);
  HttpPeer stream(port_);
  ASSERT_EQ(stream.Exchange(HttpRequestText("GET", "/api/events")).status, 200);
  ASSERT_NE(stream.NextEvent().find("event: snapshot"), std::string::npos);
  bridge_->Mark();
  bridge_->Rewrite(config_ + "[SALVO night]\nhall.B=2\n");
  bridge_->Process().Signal(SIGHUP);
  ASSERT_TRUE(bridge_->WaitForLog("reloading")) << bridge_->Log();
  EXPECT_NE(stream.NextEvent().find("event: salvos"), std::string::npos);
  const QJsonArray salvos = Json(Get("/api/salvos").body)["salvos"].toArray();
  ASSERT_EQ(salvos.size(), 2);
  EXPECT_EQ(salvos[1].toObject()["label"].toString(), "night");  // no LABEL: its id
  EXPECT_EQ(salvos[1].toObject()["differs"].toInt(), 1);

  // As many salvos, one of them with other steps: told too.
  bridge_->Mark();
  bridge_->Rewrite(config_ + "[SALVO night]\nhall.A=2\nhall.B=2\n");
  bridge_->Process().Signal(SIGHUP);
  ASSERT_TRUE(bridge_->WaitForLog("reloading")) << bridge_->Log();
  std::string told;
  for (int i = 0; i < 5 && told.find("event: salvos") == std::string::npos; ++i) {
    told = stream.NextEvent();
  }
  EXPECT_NE(told.find("\"differs\":2"), std::string::npos) << told;

  bridge_->Mark();
  bridge_->Process().Signal(SIGHUP);  // the same file
  ASSERT_TRUE(bridge_->WaitForLog("reloading")) << bridge_->Log();
  Panel(*unit_, "input A 2");
  for (std::string event = stream.NextEvent(); event.find("event: unit") == std::string::npos;
       event = stream.NextEvent()) {
    ASSERT_FALSE(event.empty()) << "no event for the change";
    EXPECT_EQ(event.find("event: salvos"), std::string::npos) << event;
  }
}

// A unit that takes a command and never carries it out: once one switch has
// failed, the relays after it are never sent, and nothing was switched to
// put back.
// A change at a unit that changes what a take would do is told to every
// stream, with the salvos as they stand: the page never works it out.
TEST_F(SalvoTest, TheStreamsHearWhatATakeWouldChangeNow) {
  StartWeb({}, kEvening);
  HttpPeer stream(port_);
  ASSERT_EQ(stream.Exchange(HttpRequestText("GET", "/api/events")).status, 200);
  ASSERT_NE(stream.NextEvent().find("event: snapshot"), std::string::npos);
  Panel(*unit_, "input A 2");
  std::string salvos;
  while (salvos.empty()) {
    const std::string event = stream.NextEvent();
    ASSERT_FALSE(event.empty()) << "no salvos event for the change";
    if (event.find("event: salvos") != std::string::npos) salvos = event;
  }
  const QJsonObject data = Json(salvos.substr(salvos.find("data: ") + 6));
  const QJsonObject evening = data["salvos"][0].toObject();
  EXPECT_EQ(evening["differs"].toInt(), 1);
  EXPECT_FALSE(evening["relays"][0].toObject()["changes"].toBool());  // studio.A is there now
  EXPECT_TRUE(evening["relays"][2].toObject()["changes"].toBool());
  EXPECT_GT(data["seq"].toInt(), 0);
}

// A unit that is down is not known to be anywhere: its relays count as
// ones a take would change, whatever it showed last.
TEST_F(SalvoTest, ADownUnitsRelaysCountAsChanges) {
  StartWeb({}, kEvening);
  Panel(*hall_, "input C 2");
  ASSERT_TRUE(bridge_->WaitForLog("hall: RELAY C: input INPUT 1 -> INPUT 2, by unit"));
  const auto evening = [this] { return Json(Get("/api/salvos").body)["salvos"][0].toObject(); };
  EXPECT_EQ(evening()["differs"].toInt(), 1);  // studio.A alone
  hall_.reset();
  ASSERT_TRUE(bridge_->WaitForLog("hall: lost")) << bridge_->Log();
  EXPECT_EQ(evening()["differs"].toInt(), 2);
  EXPECT_TRUE(evening()["relays"][2].toObject()["changes"].toBool());
}

TEST(Salvo, AFailedSwitchStopsTheTakeBeforeTheRelaysAfterIt) {
  std::atomic<int> switches{0};
  ScriptedPeer stubborn([&switches](ScriptedPeer::Link& link) {
    const kdt::ReplyBytes reply = Kdt212Reply();
    for (;;) {
      const std::vector<std::uint8_t> length = link.Read(1);
      if (length.empty()) return;
      const std::vector<std::uint8_t> rest = link.Read(length[0]);
      if (rest.size() != length[0]) return;
      if (rest[0] == kdt::kCmdSetInput) ++switches;
      link.Send(reply.data(), reply.size());
    }
  });
  const int port = FreeLoopbackPort();
  BridgeProcess bridge(UnitSection("studio", stubborn.Port()) + "[HTTP]\nLISTEN=127.0.0.1:" +
                       std::to_string(port) + "\n[SALVO both]\nstudio.A=2\nstudio.B=2\n");
  ASSERT_TRUE(bridge.WaitForLog("studio: connected to")) << bridge.Log();
  HttpPeer page(port);
  const HttpAnswer answer =
      page.Exchange(HttpRequestText("POST", "/api/salvos/both/take", kJson, "{}"), 15000);
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(Json(answer.body)["result"].toString(), "undone");
  EXPECT_EQ(Outcomes(Json(answer.body)),
            (std::vector<std::string>{"studio.A 1->2 1: failed: RELAY A did not change within 3 s",
                                      "studio.B 1->2 1: not sent"}));
  EXPECT_EQ(switches, 1);
}

// Who may take what, and what is no take.
TEST_F(SalvoTest, TheInterfaceOfATake) {
  StartWeb(kUsers, kEvening);
  const std::string dave = LogIn("dave", "d-Pa55"), alice = LogIn("alice", "a-Pa55");
  struct Row {
    std::string path, body, cookie;
    int status;
  };
  const Row rows[] = {
      {"/api/salvos/evening/take", "{}", "", 401},
      {"/api/salvos/evening/take", "{}", dave, 403},
      {"/api/salvos/morning/take", "{}", alice, 404},
      {"/api/salvos/evening", "{}", alice, 404},
      {"/api/salvos//take", "{}", alice, 404},
      {"/api/salvos/evening/take", "{\"now\":true}", alice, 400},
      {"/api/salvos/evening/take", "[]", alice, 400},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Post(row.path, row.body, row.cookie).status, row.status) << row.path << row.body;
  }
  EXPECT_EQ(Switches(), 0u);
  EXPECT_EQ(Get("/api/salvos", dave).status, 200);                     // a view user sees them
  EXPECT_EQ(Post("/api/salvos/evening/take", "", alice).status, 200);  // no body at all
  EXPECT_EQ(Switches(), 2u);
}

// Only the owner switches, renames or releases a protected relay; an admin
// may force the release, and the record names both.
TEST_F(SalvoTest, AProtectedRelayIsItsOwners) {
  StartWeb(kUsers, kEvening);
  const std::string alice = LogIn("alice", "a-Pa55"), bob = LogIn("bob", "b-Pa55"),
                    carol = LogIn("carol", "c-Pa55"), dave = LogIn("dave", "d-Pa55");
  const std::string protect = "/api/units/studio/relays/a/protect", on = "{\"on\":true}",
                    off = "{\"on\":false}";
  EXPECT_EQ(Post(protect, on, dave).status, 403);
  HttpAnswer answer = Post(protect, on, alice);
  ASSERT_EQ(answer.status, 200) << answer.body;
  const QJsonObject held = Json(answer.body)["relays"][0]["protected"].toObject();
  EXPECT_EQ(held["by"].toString(), "web alice");
  EXPECT_EQ(held["who"].toString(), "alice");  // as a sentence names the owner
  EXPECT_FALSE(held["since"].toString().isEmpty());
  EXPECT_TRUE(Relay("studio", 'B', alice)["protected"].isNull());
  EXPECT_EQ(Post(protect, on, alice).status, 200);  // already hers

  struct Row {
    std::string path, body, cookie;
  };
  const Row refused[] = {
      {"/api/units/studio/relays/a/input", "{\"input\":2}", bob},
      {"/api/units/studio/relays/a/name", "{\"name\":\"Bob's\"}", bob},
      {protect, on, bob},
      {protect, off, bob},
  };
  for (const Row& row : refused) {
    answer = Post(row.path, row.body, row.cookie);
    EXPECT_EQ(answer.status, 409) << row.path << row.body;
    EXPECT_EQ(Json(answer.body)["error"].toString(), "RELAY A is protected by alice");
  }
  const QJsonObject take = Take("evening", bob);
  EXPECT_EQ(take["result"].toString(), "refused");
  EXPECT_EQ(Outcomes(take)[0], "studio.A 1->2 1: stands in the way: RELAY A is protected by alice");
  EXPECT_EQ(Switches(), 0u);

  EXPECT_EQ(Post("/api/units/studio/relays/a/input", "{\"input\":2}", alice).status, 200);
  EXPECT_EQ(Take("evening", alice)["result"].toString(), "done");
  EXPECT_EQ(InputAt(*hall_, 'C'), 2);

  answer = Post(protect, off, carol);  // an admin's forced release
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_TRUE(Json(answer.body)["relays"][0]["protected"].isNull());
  EXPECT_TRUE(bridge_->WaitForLog("studio: RELAY A: protect none -> web alice, by web alice"))
      << bridge_->Log();
  EXPECT_TRUE(
      bridge_->WaitForLog("studio: RELAY A: forced release web alice -> none, by web carol"));
  EXPECT_EQ(Post("/api/units/studio/relays/a/input", "{\"input\":1}", bob).status, 200);
  EXPECT_EQ(Post(protect, on, bob).status, 200);
  EXPECT_EQ(Post(protect, off, bob).status, 200);
  EXPECT_TRUE(bridge_->WaitForLog("studio: RELAY A: release web bob -> none, by web bob"));
  const std::string log = Get("/api/log", alice).body;
  EXPECT_NE(log.find("\"change\":\"forced release\",\"from\":\"web alice\",\"to\":\"none\","
                     "\"by\":\"web carol\""),
            std::string::npos)
      << log;
}

// A client of the unit's endpoint (the console, kdt212ctl) sees a protected
// relay locked, and its command for it is answered with the status and
// never reaches the unit.
TEST_F(SalvoTest, TheEndpointShowsAProtectedRelayLocked) {
  StartUnit();
  const int listen = FreeLoopbackPort();
  port_ = FreeLoopbackPort();
  bridge_ =
      std::make_unique<BridgeProcess>(UnitSection("studio", unit_->Port(), listen) +
                                      "[HTTP]\nLISTEN=127.0.0.1:" + std::to_string(port_) + "\n");
  ASSERT_TRUE(bridge_->WaitForLog("studio: connected to")) << bridge_->Log();
  EndpointClient client(listen);
  kdt::UnitStatus status;
  ASSERT_TRUE(client.Poll(status));
  EXPECT_FALSE(kdt::IsLocked(status.state[2]));
  ASSERT_EQ(Post("/api/units/studio/relays/a/protect", "{\"on\":true}").status, 200);

  ASSERT_TRUE(client.Poll(status));  // its checksum checked as the console checks it
  EXPECT_TRUE(kdt::IsLocked(status.state[2]));
  EXPECT_FALSE(kdt::IsLocked(status.state[1]));
  EXPECT_FALSE(kdt::IsLocked(unit_->Status().state[2]));  // the unit itself knows nothing of it
  ASSERT_TRUE(client.Exchange(kdt::SetInputFrame(2, 3), status));
  EXPECT_EQ(kdt::InputOf(status.state[2]), 1);
  EXPECT_TRUE(kdt::IsLocked(status.state[2]));
  ASSERT_TRUE(client.Exchange(kdt::SetNameFrame(3, "Taken"), status));
  ASSERT_TRUE(client.Exchange(kdt::SetInputFrame(2, 2), status));  // another relay goes
  EXPECT_EQ(kdt::InputOf(status.state[1]), 2);
  const std::vector<kdt::Frame> sent = FramesWithCode(*unit_, kdt::kCmdSetInput);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], kdt::SetInputFrame(2, 2));
  EXPECT_TRUE(FramesWithCode(*unit_, kdt::kCmdSetName).empty());
  EXPECT_TRUE(bridge_->WaitForLog("RELAY A is protected: its command answered with the status"));

  ASSERT_EQ(Post("/api/units/studio/relays/a/protect", "{\"on\":false}").status, 200);
  ASSERT_TRUE(client.Poll(status));
  EXPECT_FALSE(kdt::IsLocked(status.state[2]));
}

// Protects are kept across a restart; a state file that is not theirs is
// set aside, and the bridge starts with none.
TEST_F(SalvoTest, ProtectsOutliveARestartAndADamagedFileIsSetAside) {
  char pattern[] = "/tmp/kdt-state-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern, file = folder + "/protects.json";
  const std::string state = "[BRIDGE]\nSTATE=" + file + "\n";
  StartWeb(kUsers, state);
  const std::string alice = LogIn("alice", "a-Pa55");
  ASSERT_EQ(Post("/api/units/hall/relays/b/protect", "{\"on\":true}", alice).status, 200);
  EXPECT_EQ(bridge_->End(), 0);
  bridge_ = std::make_unique<BridgeProcess>(config_);
  ASSERT_TRUE(bridge_->WaitForLog("protects: 1 kept in " + file)) << bridge_->Log();
  ASSERT_TRUE(bridge_->WaitForLog("page: http://")) << bridge_->Log();
  ASSERT_TRUE(bridge_->WaitForLog("hall: connected to")) << bridge_->Log();
  const std::string bob = LogIn("bob", "b-Pa55");
  EXPECT_EQ(Relay("hall", 'B', bob)["protected"].toObject()["by"].toString(), "web alice");
  EXPECT_EQ(Post("/api/units/hall/relays/b/input", "{\"input\":2}", bob).status, 409);
  // A release is kept as surely: the file is replaced whole (never emptied
  // and written again in place, which a crash would leave empty), and the
  // protect stays away after a restart.
  struct stat before {};
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  ASSERT_EQ(
      Post("/api/units/hall/relays/b/protect", "{\"on\":false}", LogIn("alice", "a-Pa55")).status,
      200);
  struct stat after {};
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(bridge_->End(), 0);
  bridge_ = std::make_unique<BridgeProcess>(config_);
  ASSERT_TRUE(bridge_->WaitForLog("hall: connected to")) << bridge_->Log();
  ASSERT_TRUE(bridge_->WaitForLog("page: http://")) << bridge_->Log();
  EXPECT_TRUE(Relay("hall", 'B', LogIn("bob", "b-Pa55"))["protected"].isNull());
  EXPECT_EQ(bridge_->End(), 0);

  for (const std::string& damaged :
       {std::string("{\"protects\":[{\"unit\":\"hall\""), std::string("[1,2]"),
        std::string(
            "{\"protects\":[{\"unit\":\"hall\",\"relay\":\"D\",\"by\":\"x\",\"since\":\"\"}]}")}) {
    SCOPED_TRACE(damaged);
    std::ofstream(file) << damaged;
    bridge_ = std::make_unique<BridgeProcess>(config_);
    ASSERT_TRUE(bridge_->WaitForLog("protects: " + file + " cannot be read")) << bridge_->Log();
    EXPECT_TRUE(bridge_->WaitForLog("set aside as " + file + ".damaged-"));
    ASSERT_TRUE(bridge_->WaitForLog("page: http://")) << bridge_->Log();
    ASSERT_TRUE(bridge_->WaitForLog("hall: connected to")) << bridge_->Log();
    EXPECT_TRUE(Relay("hall", 'B', LogIn("bob", "b-Pa55"))["protected"].isNull());
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(bridge_->End(), 0);
    // The record and the sessions are kept beside them: only what was set
    // aside is looked at.
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.path().filename().string().find(".damaged-") == std::string::npos) continue;
      std::ifstream aside(entry.path());
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(aside), {}), damaged);
      std::filesystem::remove(entry.path());
    }
  }
  std::filesystem::remove_all(folder);
}

// A protect is the bridge's, not the unit's: the hub protects and releases
// a relay of a unit that is down as well.
TEST_F(SalvoTest, TheHubProtectsTheRelaysOfAUnitThatIsDown) {
  Broker broker;
  MqttProbe hub(broker.Port());
  ASSERT_TRUE(hub.Connected());
  hub.Subscribe("#");
  StartWeb({}, "[MQTT]\nPORT=" + std::to_string(broker.Port()) + "\n");
  const std::string protect = "kdt212/hall/relay/a/protected";
  ASSERT_TRUE(hub.WaitFor(protect, "OFF")) << bridge_->Log();
  hall_.reset();
  ASSERT_TRUE(bridge_->WaitForLog("hall: lost")) << bridge_->Log();
  hub.Publish(protect + "/set", "ON");
  EXPECT_TRUE(bridge_->WaitForLog("hall: RELAY A: protect none -> mqtt, by mqtt"))
      << bridge_->Log();
  EXPECT_TRUE(hub.WaitFor(protect, "mqtt"));
  hub.Publish(protect + "/set", "OFF");
  EXPECT_TRUE(bridge_->WaitForLog("hall: RELAY A: release mqtt -> none, by mqtt"))
      << bridge_->Log();
  EXPECT_TRUE(Relay("hall", 'A')["protected"].isNull());
}

// Without STATE=, the service's state directory (systemd's
// STATE_DIRECTORY) keeps the protects; without either, they are kept only
// while the bridge runs, and it says so.
TEST_F(SalvoTest, TheServicesStateDirectoryKeepsTheProtects) {
  char pattern[] = "/tmp/kdt-state-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  StartWeb({}, "", {"--verbose"}, {"/usr/bin/env", "STATE_DIRECTORY=" + folder + ":/nowhere"});
  ASSERT_EQ(Post("/api/units/studio/relays/c/protect", "{\"on\":true}").status, 200);
  std::ifstream kept(folder + "/protects.json");
  const std::string text(std::istreambuf_iterator<char>(kept), {});
  EXPECT_NE(text.find("{\"unit\":\"studio\",\"relay\":\"C\",\"by\":\"web\",\"since\":"),
            std::string::npos)
      << text;
  EXPECT_EQ(bridge_->Log().find("kept only while the bridge runs"), std::string::npos);
  EXPECT_EQ(bridge_->End(), 0);
  std::filesystem::remove_all(folder);

  StartWeb();
  EXPECT_TRUE(bridge_->WaitForLog("protects: kept only while the bridge runs"));
}

// The hub holds its own protects, sees everyone's, and takes salvos; its
// discovery has a switch and an owner's sensor per relay, and a button per
// salvo on the bridge's device.
TEST_F(SalvoTest, TheHubProtectsAndTakesOverMqtt) {
  Broker broker;
  MqttProbe hub(broker.Port());
  ASSERT_TRUE(hub.Connected());
  hub.Subscribe("#");
  StartWeb(kUsers, "[MQTT]\nPORT=" + std::to_string(broker.Port()) + "\n" + kEvening);
  const std::string protectA = "kdt212/studio/relay/a/protected",
                    protectB = "kdt212/studio/relay/b/protected";
  ASSERT_TRUE(hub.WaitFor(protectA, "OFF")) << bridge_->Log();
  const std::string button =
      "homeassistant/button/kdt212/bridge_kdt212-bridge_salvo_evening/config";
  ASSERT_TRUE(hub.WaitForTopic(button));
  const QJsonObject buttonConfig = Json(hub.Latest(button));
  EXPECT_EQ(buttonConfig["name"].toString(), "Evening programme");
  EXPECT_EQ(buttonConfig["command_topic"].toString(), "kdt212/salvo/evening/take");
  EXPECT_EQ(buttonConfig["payload_press"].toString(), "TAKE");
  EXPECT_EQ(buttonConfig["device"].toObject()["identifiers"].toArray()[0].toString(),
            "kdt212_bridge_kdt212-bridge");
  ASSERT_TRUE(hub.WaitForTopic("homeassistant/switch/kdt212/studio_relay_a_protected/config"));
  ASSERT_TRUE(hub.WaitForTopic("homeassistant/sensor/kdt212/studio_relay_a_protected_by/config"));
  const QJsonObject protectSwitch =
      Json(hub.Latest("homeassistant/switch/kdt212/studio_relay_a_protected/config"));
  EXPECT_EQ(protectSwitch["command_topic"].toString(), QString::fromStdString(protectA + "/set"));
  EXPECT_EQ(protectSwitch["state_topic"].toString(), QString::fromStdString(protectA));
  EXPECT_EQ(Json(hub.Latest(
                "homeassistant/sensor/kdt212/studio_relay_a_protected_by/config"))["state_topic"]
                .toString(),
            QString::fromStdString(protectA));
  // The switch is on for the hub's own protect alone: another's shows off,
  // and is named by the sensor beside it.
  EXPECT_EQ(protectSwitch["value_template"].toString(), "{{ 'ON' if value == 'mqtt' else 'OFF' }}");

  hub.Publish(protectA + "/set", "ON");
  ASSERT_TRUE(hub.WaitFor(protectA, "mqtt")) << bridge_->Log();
  EXPECT_TRUE(bridge_->WaitForLog("studio: RELAY A: protect none -> mqtt, by mqtt"));
  const std::string alice = LogIn("alice", "a-Pa55");
  const HttpAnswer refused = Post("/api/units/studio/relays/a/input", "{\"input\":2}", alice);
  EXPECT_EQ(refused.status, 409);
  EXPECT_EQ(Json(refused.body)["error"].toString(), "RELAY A is protected by MQTT");
  hub.Publish("kdt212/studio/relay/a/input/set", "INPUT 2");  // its owner's
  ASSERT_TRUE(hub.WaitFor("kdt212/studio/relay/a/input", "INPUT 2")) << bridge_->Log();

  ASSERT_EQ(Post("/api/units/studio/relays/b/protect", "{\"on\":true}", alice).status, 200);
  ASSERT_TRUE(hub.WaitFor(protectB, "web alice"));
  // Each kind of refusal is a line (the same kind again within 10 s is
  // summed up later).
  for (const auto& [topic, payload] : std::vector<std::pair<std::string, std::string>>{
           {"kdt212/studio/relay/b/input/set", "INPUT 2"}, {protectB + "/set", "ON"}}) {
    bridge_->Mark();
    hub.Publish(topic, payload);
    EXPECT_TRUE(bridge_->WaitForLog("dropped: the relay is protected by alice")) << topic;
  }
  hub.Publish(protectB + "/set", "OFF");
  hub.Publish("kdt212/studio/relay/c/input/set", "INPUT 2");  // after the OFF, in its order
  ASSERT_TRUE(hub.WaitFor("kdt212/studio/relay/c/input", "INPUT 2"));
  EXPECT_EQ(Relay("studio", 'B', alice)["protected"].toObject()["by"].toString(), "web alice");
  EXPECT_EQ(hub.Latest(protectB), "web alice");
  EXPECT_EQ(InputAt(*unit_, 'B'), 1);

  const std::string take = "kdt212/salvo/evening/take", result = "kdt212/salvo/evening/result";
  hub.Publish(take, "TAKE");
  ASSERT_TRUE(hub.WaitForTopic(result)) << bridge_->Log();
  QJsonObject answer = Json(hub.Latest(result));
  EXPECT_EQ(answer["result"].toString(), "refused");
  EXPECT_EQ(Outcomes(answer)[1],
            "studio.B 1->1 1: stands in the way: RELAY B is protected by alice");
  ASSERT_EQ(Post("/api/units/studio/relays/b/protect", "{\"on\":false}", alice).status, 200);
  hub.Forget();
  hub.Publish(take, "TAKE");
  ASSERT_TRUE(hub.WaitForTopic(result)) << bridge_->Log();
  answer = Json(hub.Latest(result));
  EXPECT_EQ(answer["result"].toString(), "done");
  EXPECT_EQ(Outcomes(answer),
            (std::vector<std::string>{"studio.A 2->2 2: already", "studio.B 1->1 1: already",
                                      "hall.C 1->2 2: switched"}));
  EXPECT_FALSE(hub.Messages().back().retained);
  EXPECT_TRUE(
      bridge_->WaitForLog("hall: RELAY C: input INPUT 1 -> INPUT 2, by mqtt, salvo evening"));

  // A retained take is no take; nor is another payload.
  hub.Forget();
  Panel(*hall_, "input C 1");
  hub.Publish(take, "TAKE", true);
  EXPECT_TRUE(bridge_->WaitForLog("ignored: a retained take would be taken again"));
  hub.Publish(take, "", true);
  hub.Publish(take, "take");
  EXPECT_TRUE(bridge_->WaitForLog("dropped: a take is TAKE"));
  EXPECT_EQ(hub.Count(result), 0);
  EXPECT_EQ(InputAt(*hall_, 'C'), 1);

  // A salvo taken out of the file takes its button with it.
  std::string config = config_;
  config.erase(config.find("[SALVO evening]"));
  bridge_->Rewrite(config);
  bridge_->Process().Signal(SIGHUP);
  EXPECT_TRUE(hub.WaitFor(button, "")) << bridge_->Log();
  hub.Publish(protectA + "/set", "OFF");
  EXPECT_TRUE(hub.WaitFor(protectA, "OFF"));
}

}  // namespace
