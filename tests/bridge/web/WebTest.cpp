// The bridge's HTTP interface, row by row, as a browser, a hub's script or
// someone hostile meets it: the real kdt212-bridge between simulated units
// and a client of the test's own on loopback.
#include <crypt.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <atomic>
#include <fstream>
#include <thread>

#include "HttpPeer.h"
#include "LoopbackPeer.h"
#include "WebFixture.h"
#include "web/Users.h"

using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;

// Every answer carries the page's security headers; the interface's are
// never cached.
TEST_F(WebTest, ThePageAndItsHeaders) {
  StartWeb();
  struct Row {
    std::string path;
    int status;
    std::string type;
    bool api;
  };
  const Row rows[] = {
      {"/", 200, "text/html; charset=utf-8", false},
      {"/app.js", 200, "text/javascript; charset=utf-8", false},
      {"/units.js", 200, "text/javascript; charset=utf-8", false},
      {"/app.css", 200, "text/css; charset=utf-8", false},
      {"/icon.svg", 200, "image/svg+xml", false},
      {"/api/rules", 200, "application/json", true},
      {"/api/me", 200, "application/json", true},
      {"/api/units", 200, "application/json", true},
      {"/api/log", 200, "application/json", true},
      {"/api/nothing", 404, "application/json", true},
      {"/index.php", 404, "application/json", false},
  };
  for (const Row& row : rows) {
    const HttpAnswer answer = Get(row.path);
    EXPECT_EQ(answer.status, row.status) << row.path;
    EXPECT_EQ(answer.Header("content-type"), row.type) << row.path;
    EXPECT_EQ(answer.Header("content-security-policy"),
              "default-src 'self'; frame-ancestors 'none'")
        << row.path;
    EXPECT_EQ(answer.Header("x-content-type-options"), "nosniff") << row.path;
    EXPECT_EQ(answer.Header("referrer-policy"), "no-referrer") << row.path;
    EXPECT_EQ(answer.Header("cache-control"), row.api ? "no-store" : "") << row.path;
  }
  // No inline script or style: the page names its files, relatively.
  const std::string page = Get("/").body;
  EXPECT_NE(page.find("<script type=\"module\" src=\"app.js\"></script>"), std::string::npos);
  EXPECT_NE(page.find("<link rel=\"stylesheet\" href=\"app.css\">"), std::string::npos);
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_EQ(page.find("<style"), std::string::npos);
  EXPECT_EQ(page.find(" style="), std::string::npos);
  EXPECT_EQ(page.find("=\"/"), std::string::npos);  // no absolute address
}

// Without USERS every allowed client may view and operate: the units in the
// file's order, each as kdt212ctl prints it, with its id.
TEST_F(WebTest, UnitsAsKdt212ctlPrintsThemInTheFilesOrder) {
  StartWeb();
  EXPECT_EQ(Get("/api/me").body, "{\"user\":null,\"role\":\"operate\",\"owner\":\"web\"}");
  const QJsonObject units = Json(Get("/api/units").body);
  ASSERT_EQ(units["units"].toArray().size(), 2);
  const QJsonObject studio = units["units"][0].toObject();
  EXPECT_EQ(studio["id"].toString(), "studio");
  EXPECT_EQ(units["units"][1].toObject()["id"].toString(), "hall");
  EXPECT_TRUE(studio["connected"].toBool());
  EXPECT_EQ(studio["relays"][0].toObject()["relay"].toString(), "A");
  EXPECT_EQ(studio["relays"][2].toObject()["name"].toString(), "Main feed");
  EXPECT_GT(units["seq"].toInt(), 0);
  hall_.reset();  // down: not connected, and why
  ASSERT_TRUE(bridge_->WaitForLog("hall: lost")) << bridge_->Log();
  const QJsonObject hall = Json(Get("/api/units").body)["units"][1].toObject();
  EXPECT_FALSE(hall["connected"].toBool());
  EXPECT_EQ(hall["reason"].toString(), "closed by the unit");
}

// A command answers once the unit's status shows it, or says in words what
// stands in its way.
TEST_F(WebTest, CommandsAnswerWhenTheUnitShowsThem) {
  StartWeb();
  HttpAnswer answer = Post("/api/units/studio/relays/a/input", "{\"input\":2}");
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(Json(answer.body)["relays"][0].toObject()["input"].toInt(), 2);
  EXPECT_EQ(kdt::InputOf(unit_->Status().state[2]), 2);
  answer = Post("/api/units/hall/relays/c/name", "{\"name\":\" Студия 2 \"}");
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(Json(answer.body)["relays"][2].toObject()["name"].toString(), QString("Студия 2"));
  EXPECT_EQ(hall_->Status().name[0], "\xD1\xF2\xF3\xE4\xE8\xFF 2");

  struct Row {
    std::string path, body;
    int status;
    std::string error;
  };
  const Row rows[] = {
      {"/api/units/studio/relays/b/name", "{\"name\":\"中\"}", 422,
       "RELAY B keeps its name: the unit's code page (windows-1251) has no \"中\" (U+4E2D)"},
      {"/api/units/studio/relays/b/name", "{\"name\":\"" + std::string(25, 'x') + "\"}", 422,
       "RELAY B keeps its name: 25 characters, the unit takes 24"},
      {"/api/units/studio/relays/b/input", "{\"input\":3}", 400, ""},
      {"/api/units/studio/relays/b/input", "{\"input\":\"2\"}", 400, ""},
      {"/api/units/studio/relays/b/input", "{\"input\":2,\"relay\":1}", 400, ""},
      {"/api/units/studio/relays/b/input", "input=2", 400, ""},
      {"/api/units/studio/relays/b/name", "{\"name\":2}", 400, ""},
      {"/api/units/nosuch/relays/a/input", "{\"input\":2}", 404, ""},
      {"/api/units/studio/relays/d/input", "{\"input\":2}", 404, ""},
      {"/api/units/studio/relays/A/input", "{\"input\":2}", 404, ""},
      {"/api/units/studio/relays/a/lock", "{\"on\":true}", 404, ""},
  };
  for (const Row& row : rows) {
    const HttpAnswer refused = Post(row.path, row.body);
    EXPECT_EQ(refused.status, row.status) << row.path << " " << row.body;
    if (!row.error.empty()) {
      EXPECT_EQ(Json(refused.body)["error"].toString().toStdString(), row.error);
    }
    EXPECT_FALSE(Json(refused.body)["error"].toString().isEmpty()) << row.body;
  }
  EXPECT_EQ(FramesWithCode(*unit_, kdt::kCmdSetName).size(), 0u);

  Panel(*unit_, "lock B on");
  ASSERT_TRUE(bridge_->WaitForLog("studio: RELAY B: lock unlocked -> locked, by unit"));
  answer = Post("/api/units/studio/relays/b/input", "{\"input\":2}");
  EXPECT_EQ(answer.status, 409);
  EXPECT_EQ(Json(answer.body)["error"].toString(), "RELAY B is locked at the unit");
  hall_.reset();
  ASSERT_TRUE(bridge_->WaitForLog("hall: lost")) << bridge_->Log();
  answer = Post("/api/units/hall/relays/a/input", "{\"input\":2}");
  EXPECT_EQ(answer.status, 503);
  EXPECT_EQ(Json(answer.body)["error"].toString(), "hall is not connected: closed by the unit");
}

// Studio's RELAY A to INPUT 2 through the page on `port`: the answer, and
// in `ms` how long it took.
HttpAnswer SwitchStudioA(int port, std::int64_t& ms) {
  HttpPeer peer(port);
  const auto start = Clock::now();
  const HttpAnswer answer = peer.Exchange(
      HttpRequestText("POST", "/api/units/studio/relays/a/input", kJson, "{\"input\":2}"), 10000);
  ms = ElapsedMs(start);
  return answer;
}

// A unit that takes the command and never shows it: 504 after 3 s.
TEST(Web, ACommandTheUnitDoesNotCarryOutTimesOut) {
  ScriptedPeer stubborn([](ScriptedPeer::Link& link) {
    const kdt::ReplyBytes reply = Kdt212Reply("Fixed");
    for (;;) {
      const std::vector<std::uint8_t> length = link.Read(1);
      if (length.empty() || link.Read(length[0]).size() != length[0]) return;
      link.Send(reply.data(), reply.size());
    }
  });
  const int port = FreeLoopbackPort();
  BridgeProcess bridge(StudioAndPage(stubborn.Port(), port));
  ASSERT_TRUE(bridge.WaitForLog("studio: connected to")) << bridge.Log();
  std::int64_t ms = 0;
  const HttpAnswer answer = SwitchStudioA(port, ms);
  EXPECT_EQ(answer.status, 504);
  EXPECT_EQ(Json(answer.body)["error"].toString(), "RELAY A did not change within 3 s");
  EXPECT_GE(ms, 2900);
  EXPECT_EQ(bridge.End(), 0);
}

// A relay locked at the unit while its switch is on the way: the unit's
// answer shows the lock, and the switch is refused for it at once, not
// after 3 s.
TEST(Web, ARelayLockedWhileItsSwitchIsOnTheWayIsRefusedAtOnce) {
  ScriptedPeer locking(
      ScriptedUnit([](const kdt::ClientFrame& read, kdt::UnitStatus& status, ScriptedPeer::Link&) {
        if (read.code != kdt::kCmdSetInput) return;
        status.state[read.relay - 1] = kdt::WithLock(status.state[read.relay - 1], true);
      }));
  const int port = FreeLoopbackPort();
  BridgeProcess bridge(StudioAndPage(locking.Port(), port));
  ASSERT_TRUE(bridge.WaitForLog("studio: connected to")) << bridge.Log();
  std::int64_t ms = 0;
  const HttpAnswer answer = SwitchStudioA(port, ms);
  EXPECT_EQ(answer.status, 409) << answer.body;
  EXPECT_EQ(Json(answer.body)["error"].toString(), "RELAY A is locked at the unit");
  EXPECT_LT(ms, 2500);
}

// A switch with the unit and not shown after 3 s is said to be that:
// pending, with its id, and its end follows on the event stream; never a
// failure that then happens. Here the unit takes 2 s for each switch, so
// that the second of two waits for the first and is still with the unit
// at 3 s.
TEST(Web, ASwitchStillWithTheUnitIsPendingAndItsEndFollows) {
  ScriptedPeer slow(UnitSlowAtSwitches(2000));
  const int port = FreeLoopbackPort();
  BridgeProcess bridge(StudioAndPage(slow.Port(), port));
  ASSERT_TRUE(bridge.WaitForLog("studio: connected to")) << bridge.Log();
  HttpPeer stream(port), first(port), second(port);
  ASSERT_EQ(stream.Exchange(HttpRequestText("GET", "/api/events")).status, 200);
  ASSERT_TRUE(first.Send(
      HttpRequestText("POST", "/api/units/studio/relays/a/input", kJson, "{\"input\":2}")));
  ASSERT_TRUE(second.Send(
      HttpRequestText("POST", "/api/units/studio/relays/b/input", kJson, "{\"input\":2}")));
  EXPECT_EQ(first.Read(10000).status, 200);
  const HttpAnswer pending = second.Read(10000);
  ASSERT_EQ(pending.status, 202) << pending.body;
  const QJsonObject said = Json(pending.body);
  EXPECT_EQ(said["outcome"].toString(), "pending");
  EXPECT_EQ(said["text"].toString(), "RELAY B: sent, not yet shown by the unit");
  const int id = said["id"].toInt();
  EXPECT_GT(id, 0);
  std::string ended;
  for (int i = 0; i < 20 && ended.empty(); ++i) {
    const std::string event = stream.NextEvent(10000);
    if (event.find("event: command") != std::string::npos) ended = event;
  }
  EXPECT_NE(ended.find("\"command\":{\"id\":" + std::to_string(id) + ",\"outcome\":\"done\"}"),
            std::string::npos)
      << ended;
  EXPECT_TRUE(bridge.WaitForLog("studio: RELAY B: input INPUT 1 -> INPUT 2, by web"));
}

// A POST is taken as JSON only, and from the page's own origin only; nothing
// is done for either.
TEST_F(WebTest, ContentTypeAndOriginOfAPost) {
  StartWeb({}, "[SALVO evening]\nstudio.A=2\n");
  const std::string path = "/api/units/studio/relays/a/input", body = "{\"input\":2}";
  struct Row {
    const char* what;
    std::vector<std::string> headers;
    int status;
  };
  const Row rows[] = {
      {"no Content-Type", {}, 415},
      {"text", {"Content-Type: text/plain"}, 415},
      {"a form", {"Content-Type: application/x-www-form-urlencoded"}, 415},
      {"another site", {"Content-Type: application/json", "Origin: http://evil.example"}, 403},
      {"another port", {"Content-Type: application/json", "Origin: http://127.0.0.1:1"}, 403},
      {"another scheme", {"Content-Type: application/json", "Origin: https://127.0.0.1"}, 403},
      {"an opaque origin", {"Content-Type: application/json", "Origin: null"}, 403},
  };
  // Every POST of the interface, each with a body it would take.
  const std::pair<std::string, std::string> posts[] = {
      {path, body},
      {"/api/units/studio/relays/a/name", "{\"name\":\"x\"}"},
      {"/api/units/studio/relays/a/protect", "{\"on\":true}"},
      {"/api/salvos/evening/take", "{}"},
      {"/api/login", "{\"user\":\"a\",\"password\":\"b\"}"},
      {"/api/logout", "{}"},
  };
  for (const auto& [route, taken] : posts) {
    for (const Row& row : rows) {
      EXPECT_EQ(Post(route, taken, "", row.headers).status, row.status)
          << route << ": " << row.what;
    }
  }
  EXPECT_EQ(
      Json(Get("/api/units").body)["units"][0].toObject()["relays"][0].toObject()["protected"],
      QJsonValue::Null);
  EXPECT_TRUE(FramesWithCode(*unit_, kdt::kCmdSetInput).empty());
  // Its own origin: scheme, host and port of the request (a proxy's
  // scheme as it says).
  EXPECT_EQ(
      Post(path, body, "", {"Content-Type: application/json", "Origin: http://127.0.0.1"}).status,
      200);
  EXPECT_EQ(Post(path, "{\"input\":1}", "",
                 {"Content-Type: application/json; charset=utf-8", "Origin: https://127.0.0.1",
                  "X-Forwarded-Proto: https"})
                .status,
            200);
}

// With USERS: a session for every request but the login; view users see,
// operate users switch; logout ends the session at the bridge.
TEST_F(WebTest, LoginRolesAndLogout) {
  StartWeb({"alice:operate:alice's Pa55", "bob:view:bob's Pa55"});
  const std::string units = "/api/units";
  EXPECT_EQ(Get(units).status, 401);
  EXPECT_EQ(Get("/api/me").status, 401);
  EXPECT_EQ(Get("/api/events").status, 401);
  EXPECT_EQ(Get("/").status, 200);  // the page itself, with its login form

  const HttpAnswer login = Post("/api/login", "{\"user\":\"alice\",\"password\":\"alice's Pa55\"}");
  ASSERT_EQ(login.status, 200) << login.body;
  EXPECT_EQ(login.body, "{\"user\":\"alice\",\"role\":\"operate\",\"owner\":\"web alice\"}");
  const std::string cookie = login.Header("set-cookie");
  EXPECT_EQ(cookie.rfind("kdt212_session=", 0), 0u) << cookie;
  EXPECT_NE(cookie.find("; HttpOnly"), std::string::npos);
  EXPECT_NE(cookie.find("; SameSite=Strict"), std::string::npos);
  EXPECT_EQ(cookie.find("Secure"), std::string::npos);  // not under plain HTTP
  const std::string alice = cookie.substr(0, cookie.find(';'));
  EXPECT_EQ(Get("/api/me", alice).body,
            "{\"user\":\"alice\",\"role\":\"operate\",\"owner\":\"web alice\"}");
  EXPECT_EQ(Post("/api/units/studio/relays/a/input", "{\"input\":2}", alice).status, 200);

  // Behind a proxy that speaks TLS to the browser, the cookie is Secure.
  const HttpAnswer proxied =
      Post("/api/login", "{\"user\":\"alice\",\"password\":\"alice's Pa55\"}", "",
           {kJson[0], "X-Forwarded-Proto: https"});
  EXPECT_NE(proxied.Header("set-cookie").find("; Secure"), std::string::npos);
  const std::string bob = LogIn("bob", "bob's Pa55");
  EXPECT_EQ(Get(units, bob).status, 200);
  const HttpAnswer viewed = Post("/api/units/studio/relays/a/input", "{\"input\":1}", bob);
  EXPECT_EQ(viewed.status, 403);
  EXPECT_EQ(kdt::InputOf(unit_->Status().state[2]), 2);

  // The same answer for a wrong password and for a name of nobody.
  const HttpAnswer wrong = Post("/api/login", "{\"user\":\"alice\",\"password\":\"guess\"}");
  const HttpAnswer nobody = Post("/api/login", "{\"user\":\"mallory\",\"password\":\"guess\"}");
  EXPECT_EQ(wrong.status, 401);
  EXPECT_EQ(nobody.status, 401);
  EXPECT_EQ(wrong.body, nobody.body);
  EXPECT_EQ(Post("/api/login", "{\"user\":\"alice\"}").status, 400);

  HttpPeer stream(port_);
  ASSERT_EQ(stream.Exchange(HttpRequestText("GET", "/api/events", {"Cookie: " + alice})).status,
            200);
  EXPECT_EQ(Post("/api/logout", "{}", alice).status, 204);
  EXPECT_TRUE(stream.ClosedWithin(5000)) << "the session's stream ends with it";
  EXPECT_TRUE(bridge_->WaitForLog("page: alice logged out from 127.0.0.1:"));
  // Each login its own line, however close together (alice's two above).
  const std::string log = bridge_->Log(), line = "page: alice logged in from 127.0.0.1:";
  EXPECT_NE(log.find(line, log.find(line) + 1), std::string::npos) << log;
  EXPECT_EQ(Get("/api/me", alice).status, 401);
  EXPECT_EQ(Get("/api/me", "kdt212_session=" + std::string(64, '0')).status, 401);
  EXPECT_EQ(Get(units, bob).status, 200);
  EXPECT_EQ(bridge_->Log().find("Pa55"), std::string::npos) << bridge_->Log();
  EXPECT_EQ(bridge_->Log().find("guess"), std::string::npos);
}

// SIGHUP reads the users file again: a user removed, or whose password
// changed, loses its sessions; a changed role applies at the next request.
TEST_F(WebTest, AReloadEndsTheSessionsOfUsersRemovedAndChangesRoles) {
  StartWeb({"alice:operate:a-Pa55", "bob:view:b-Pa55", "carol:operate:c-Pa55"});
  const std::string alice = LogIn("alice", "a-Pa55"), bob = LogIn("bob", "b-Pa55"),
                    carol = LogIn("carol", "c-Pa55");
  HttpPeer stream(port_), bobs(port_);
  ASSERT_EQ(stream.Exchange(HttpRequestText("GET", "/api/events", {"Cookie: " + alice})).status,
            200);
  ASSERT_NE(stream.NextEvent().find("event: snapshot"), std::string::npos);
  ASSERT_EQ(bobs.Exchange(HttpRequestText("GET", "/api/events", {"Cookie: " + bob})).status, 200);
  ASSERT_NE(bobs.NextEvent().find("event: snapshot"), std::string::npos);
  WriteUsers({"bob:operate:b-Pa55", "carol:operate:new-Pa55"});
  bridge_->Mark();
  bridge_->Process().Signal(SIGHUP);
  ASSERT_TRUE(bridge_->WaitForLog("page: the sessions of alice end")) << bridge_->Log();
  EXPECT_TRUE(bridge_->WaitForLog("page: the sessions of carol end"));
  EXPECT_EQ(Get("/api/me", alice).status, 401);
  EXPECT_EQ(Get("/api/me", carol).status, 401);
  EXPECT_TRUE(stream.ClosedWithin(5000));  // alice's stream went with her session
  // Bob's page hears of his new role at once.
  std::string told;
  for (int i = 0; i < 10 && told.find("event: me") == std::string::npos; ++i) {
    told = bobs.NextEvent();
  }
  EXPECT_NE(told.find("event: me\ndata: {\"user\":\"bob\",\"role\":\"operate\""), std::string::npos)
      << told;
  EXPECT_EQ(Get("/api/me", bob).body,
            "{\"user\":\"bob\",\"role\":\"operate\",\"owner\":\"web bob\"}");
  EXPECT_EQ(Post("/api/units/studio/relays/a/input", "{\"input\":2}", bob).status, 200);
}

// A reload that narrows ALLOW closes the page's clients it leaves out, its
// streams too; the others stay.
TEST_F(WebTest, AReloadThatNarrowsAllowClosesThoseLeftOut) {
  StartWeb({}, "ALLOW=127.0.0.0/8\n");
  HttpPeer inside(port_), outside(port_, "127.0.0.2");
  for (HttpPeer* peer : {&inside, &outside}) {
    ASSERT_EQ(peer->Exchange(HttpRequestText("GET", "/api/events")).status, 200);
    ASSERT_NE(peer->NextEvent().find("event: snapshot"), std::string::npos);
  }
  bridge_->Rewrite(UnitSection("studio", unit_->Port()) + UnitSection("hall", hall_->Port()) +
                   "[HTTP]\nLISTEN=127.0.0.1:" + std::to_string(port_) + "\nALLOW=127.0.0.1/32\n");
  bridge_->Process().Signal(SIGHUP);
  EXPECT_TRUE(outside.ClosedWithin(5000));
  EXPECT_FALSE(inside.ClosedWithin(1000));
}

// A unit that a reload takes out goes from every open page: its stream
// hears the units that are left.
TEST_F(WebTest, AReloadTellsTheStreamsTheUnitsLeft) {
  StartWeb();
  HttpPeer stream(port_);
  ASSERT_EQ(stream.Exchange(HttpRequestText("GET", "/api/events")).status, 200);
  ASSERT_NE(stream.NextEvent().find("event: snapshot"), std::string::npos);
  bridge_->Rewrite(UnitSection("studio", unit_->Port()) +
                   "[HTTP]\nLISTEN=127.0.0.1:" + std::to_string(port_) + "\n");
  bridge_->Process().Signal(SIGHUP);
  std::string units;
  for (int i = 0; i < 20 && units.find("event: units") == std::string::npos; ++i) {
    units = stream.NextEvent();
  }
  EXPECT_NE(units.find("\"units\":[{\"id\":\"studio\""), std::string::npos) << units;
  EXPECT_EQ(units.find("\"hall\""), std::string::npos) << units;
}

// Five failed logins from one address within a minute: every login from it
// is refused for the rest of that minute, right password or not; one line.
TEST_F(WebTest, FailedLoginsAreThrottled) {
  StartWeb({"alice:operate:right-Pa55"}, "", {});
  for (int i = 0; i < 5; ++i) {
    // Names of nobody count as much as wrong passwords.
    const std::string user = i % 2 == 0 ? "alice" : "nobody" + std::to_string(i);
    EXPECT_EQ(Post("/api/login",
                   "{\"user\":\"" + user + "\",\"password\":\"wrong" + std::to_string(i) + "\"}")
                  .status,
              401);
  }
  const HttpAnswer refused = Post("/api/login", "{\"user\":\"alice\",\"password\":\"right-Pa55\"}");
  EXPECT_EQ(refused.status, 429);
  // Another address is not held up.
  HttpPeer other(port_, "127.0.0.2");
  EXPECT_EQ(other
                .Exchange(HttpRequestText("POST", "/api/login", kJson,
                                          "{\"user\":\"alice\",\"password\":\"right-Pa55\"}"))
                .status,
            200);
  EXPECT_EQ(bridge_->CountAfter(500, "5 failed logins from 127.0.0.1 within a minute"), 1)
      << bridge_->Log();
  EXPECT_EQ(bridge_->Log().find("wrong"), std::string::npos) << bridge_->Log();
  EXPECT_EQ(bridge_->Log().find("right-Pa55"), std::string::npos);
}

// How many threads the process runs now.
int ThreadsOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

// Wrong logins sent at once from one address: no more than five are
// checked, whatever their number; the others are refused before anything
// is hashed.
TEST_F(WebTest, WrongLoginsAtOnceAreCheckedFiveAtMost) {
  StartWeb({"alice:operate:right-Pa55"}, "", {});
  std::vector<std::unique_ptr<HttpPeer>> peers;
  for (int i = 0; i < 20; ++i) {
    peers.push_back(std::make_unique<HttpPeer>(port_));
    ASSERT_TRUE(peers.back()->Send(HttpRequestText("POST", "/api/login", kJson,
                                                   "{\"user\":\"alice\",\"password\":\"wrong\"}")));
  }
  std::map<int, int> statuses;
  for (auto& peer : peers) ++statuses[peer->Read(20000).status];
  EXPECT_LE(statuses[401], 5);
  EXPECT_EQ(statuses[401] + statuses[429] + statuses[503], 20) << statuses[0] << " unanswered";
  EXPECT_GE(statuses[429], 15 - statuses[503]);
}

// 250 logins from as many addresses, sent and dropped at once: two threads
// check passwords, a few checks wait, the rest are refused with 503; what
// the dropped clients asked is never checked; and the page, and a login of
// a user who knows the password, answer as before.
TEST_F(WebTest, ALoginFloodHoldsNeitherThreadsNorThePage) {
  StartWeb({"alice:operate:right-Pa55"}, "ALLOW=127.0.0.0/8\nMAXCLIENTS=1024\n", {});
  const pid_t bridge = bridge_->Process().Pid();
  const int threadsBefore = ThreadsOf(bridge);
  int most = threadsBefore;
  for (int i = 0; i < 250; ++i) {
    const std::string from = "127.0.1." + std::to_string(i + 1);
    HttpPeer peer(port_, from.c_str());
    peer.Send(
        HttpRequestText("POST", "/api/login", kJson,
                        "{\"user\":\"alice\",\"password\":\"guess" + std::to_string(i) + "\"}"));
    most = std::max(most, ThreadsOf(bridge));
  }  // each dropped as soon as it is sent
  EXPECT_LE(most, threadsBefore + 2) << "threads before: " << threadsBefore;
  EXPECT_EQ(Get("/api/rules").status, 200);
  // Told to try again while the flood's last checks run, as a 503 says.
  HttpAnswer login;
  const auto start = Clock::now();
  for (int tries = 0; tries < 20 && login.status != 200; ++tries) {
    if (login.status == 503) std::this_thread::sleep_for(std::chrono::seconds(1));
    HttpPeer user(port_, "127.0.2.1");
    login = user.Exchange(HttpRequestText("POST", "/api/login", kJson,
                                          "{\"user\":\"alice\",\"password\":\"right-Pa55\"}"));
    if (login.status == 503) {
      EXPECT_EQ(login.Header("retry-after"), "1");
    }
  }
  EXPECT_EQ(login.status, 200) << login.body;
  EXPECT_LE(ElapsedMs(start), 10000);
}

// The median time that a login takes, over logins from addresses of their
// own (the throttle holds none of them).
double MedianLoginMs(int port, const std::string& user, int firstAddress) {
  std::vector<double> times;
  for (int i = 0; i < 3; ++i) {
    const std::string from = "127.0.3." + std::to_string(firstAddress + i);
    HttpPeer peer(port, from.c_str());
    const auto start = Clock::now();
    const HttpAnswer answer =
        peer.Exchange(HttpRequestText("POST", "/api/login", kJson,
                                      "{\"user\":\"" + user + "\",\"password\":\"wrong\"}"),
                      20000);
    EXPECT_EQ(answer.status, 401) << answer.body;
    times.push_back(double(ElapsedMs(start)));
  }
  std::sort(times.begin(), times.end());
  return times[1];
}

// A name of nobody costs what a wrong password of a user of the file
// costs, whatever kind of hash the file holds: the time tells nothing.
TEST_F(WebTest, AnUnknownNameTakesAsLongAsAWrongPassword) {
  const std::string users = "/tmp/kdt-users-sha-" + std::to_string(getpid());
  {
    crypt_data data{};
    const char* hash = crypt_r("right", "$6$rounds=2000000$Kdt212Salt$", &data);
    ASSERT_NE(hash, nullptr);
    std::ofstream file(users);
    file << "alice:operate:" << hash << "\n";
  }
  chmod(users.c_str(), 0640);
  StartWeb({}, "USERS=" + users + "\nALLOW=127.0.0.0/8\n", {});
  const double wrongPassword = MedianLoginMs(port_, "alice", 1);
  const double nobody = MedianLoginMs(port_, "mallory", 11);
  std::remove(users.c_str());
  EXPECT_GT(nobody, wrongPassword / 2) << "a wrong password takes " << wrongPassword << " ms";
}

// A NUL in a password is refused, not cut there: crypt(3) would read the
// password only up to it.
TEST_F(WebTest, APasswordWithANulIsRefused) {
  StartWeb({"alice:operate:right"}, "", {});
  const HttpAnswer answer =
      Post("/api/login", "{\"user\":\"alice\",\"password\":\"right\\u0000more\"}");
  EXPECT_EQ(answer.status, 400) << answer.body;
  EXPECT_EQ(answer.Header("set-cookie"), "");
}

// Bounds: a head or a request over 16 KiB, a request that does not arrive
// whole within 10 s, a client beyond MAXCLIENTS or outside ALLOW.
TEST_F(WebTest, TheBoundsOfARequestAndOfTheClients) {
  StartWeb({}, "ALLOW=127.0.0.1/32\nMAXCLIENTS=3\n");
  {
    HttpPeer big(port_);
    const HttpAnswer answer =
        big.Exchange(HttpRequestText("GET", "/api/me", {"X-Filler: " + std::string(17000, 'x')}));
    EXPECT_EQ(answer.status, 431);
    EXPECT_TRUE(big.ClosedWithin(3000));
  }
  {
    HttpPeer big(port_);
    const HttpAnswer answer = big.Exchange(HttpRequestText(
        "POST", "/api/login", kJson, "{\"user\":\"" + std::string(17000, 'x') + "\"}"));
    EXPECT_EQ(answer.status, 413);
    EXPECT_TRUE(big.ClosedWithin(3000));
  }
  {
    HttpPeer slow(port_);
    ASSERT_TRUE(slow.Send("GET /api/me HTTP/1.1\r\nHost: 127.0.0.1\r\n"));  // and no more
    const auto start = Clock::now();
    const HttpAnswer answer = slow.Read(15000);
    EXPECT_EQ(answer.status, 408);
    EXPECT_GE(ElapsedMs(start), 9000);
    EXPECT_TRUE(slow.ClosedWithin(3000));
  }
  HttpPeer outside(port_, "127.0.0.2");
  EXPECT_TRUE(outside.ClosedWithin(3000));
  // Three event streams hold every place: a stream never gives way.
  std::vector<std::unique_ptr<HttpPeer>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(std::make_unique<HttpPeer>(port_));
    EXPECT_EQ(held.back()->Exchange(HttpRequestText("GET", "/api/events")).status, 200);
  }
  HttpPeer fourth(port_);
  EXPECT_TRUE(fourth.ClosedWithin(3000));
  EXPECT_TRUE(bridge_->WaitForLog("page: refused 127.0.0.2:")) << bridge_->Log();
  EXPECT_TRUE(bridge_->WaitForLog(": MAXCLIENTS (3) reached"));
}

// A request refused as it comes (too large, or framed so that a proxy in
// front could read a second request into it) is answered alone, the
// connection closes, and nothing of it, or of what follows it, is done.
TEST_F(WebTest, ARefusedRequestIsNeverCarriedOut) {
  StartWeb();
  const std::string input = "/api/units/studio/relays/a/input",
                    name = "/api/units/studio/relays/a/name";
  const std::string hidden = HttpRequestText("POST", input, kJson, "{\"input\":2}");
  const std::string post = "POST " + input + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kJson[0] + "\r\n";
  struct Row {
    const char* what;
    std::string bytes;
    int status;
  };
  const Row rows[] = {
      {"a 17 KiB body",
       HttpRequestText("POST", input, kJson,
                       "{\"input\":2,\"x\":\"" + std::string(17000, 'x') + "\"}"),
       413},
      {"a 40 KiB rename",
       HttpRequestText("POST", name, kJson, "{\"name\":\"" + std::string(40000, 'x') + "\"}"), 413},
      {"a 20 KiB head",
       HttpRequestText("POST", input, {kJson[0], "X-Filler: " + std::string(20000, 'x')},
                       "{\"input\":2}"),
       431},
      {"a 60 KiB head",
       HttpRequestText("POST", input, {kJson[0], "X-Filler: " + std::string(60000, 'x')},
                       "{\"input\":2}"),
       431},
      {"Content-Length and Transfer-Encoding",
       post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + hidden, 400},
      {"two Content-Lengths",
       post + "Content-Length: 13\r\nContent-Length: 0\r\n\r\n{\"input\":2}" + hidden, 400},
      {"chunks", post + "Transfer-Encoding: chunked\r\n\r\nd\r\n{\"input\":2}\r\n0\r\n\r\n", 411},
  };
  for (const Row& row : rows) {
    HttpPeer peer(port_);
    peer.Send(row.bytes + hidden);  // the server may close before it has read all
    EXPECT_EQ(peer.Read().status, row.status) << row.what;
    std::string more;
    EXPECT_TRUE(peer.ClosedAfter(more, 5000)) << row.what;
    EXPECT_EQ(more, "") << row.what << ": one answer only";
  }
  EXPECT_EQ(Get("/api/me").status, 200);  // after them all
  EXPECT_TRUE(FramesWithCode(*unit_, kdt::kCmdSetInput).empty());
  EXPECT_TRUE(FramesWithCode(*unit_, kdt::kCmdSetName).empty());
  EXPECT_EQ(kdt::InputOf(unit_->Status().state[2]), 1);
}

// HTTP/1.1 as clients rely on it: answers in the order of the requests,
// however long one waits for its unit; HTTP/1.0 and "Connection: close"
// closed after the answer; HEAD answered as GET without its body.
TEST_F(WebTest, AnswersAsHttpPromisesThem) {
  StartWeb();
  unit_->SetDelay(300);
  HttpPeer pipelined(port_);
  ASSERT_TRUE(pipelined.Send(
      HttpRequestText("POST", "/api/units/studio/relays/a/input", kJson, "{\"input\":2}") +
      HttpRequestText("GET", "/api/me")));
  const HttpAnswer first = pipelined.Read(10000), second = pipelined.Read(10000);
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(Json(first.body)["relays"][0].toObject()["input"].toInt(), 2) << first.body;
  EXPECT_EQ(second.status, 200);
  EXPECT_EQ(Json(second.body)["role"].toString(), "operate") << second.body;
  unit_->SetDelay(0);

  struct Row {
    const char* what;
    std::string request;
  };
  const Row closing[] = {
      {"HTTP/1.0", "GET /api/me HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
      {"Connection: close", HttpRequestText("GET", "/api/me", {"Connection: close"})},
  };
  for (const Row& row : closing) {
    HttpPeer peer(port_);
    EXPECT_EQ(peer.Exchange(row.request).status, 200) << row.what;
    EXPECT_TRUE(peer.ClosedWithin(3000)) << row.what;
  }
  HttpPeer head(port_);
  ASSERT_TRUE(head.Send(HttpRequestText("HEAD", "/api/units", {"Connection: close"})));
  std::string answer;
  ASSERT_TRUE(head.ClosedAfter(answer, 5000));
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("\r\nContent-Length: "), std::string::npos) << answer;
  EXPECT_TRUE(answer.ends_with("\r\n\r\n")) << "no body: " << answer;
}

// A connection that sends nothing is closed after 10 s without a word: no
// 408 that nobody asked for, no log line.
TEST_F(WebTest, AnIdleConnectionClosesQuietly) {
  StartWeb();
  HttpPeer used(port_), silent(port_);
  EXPECT_EQ(used.Exchange(HttpRequestText("GET", "/api/me")).status, 200);
  const auto start = Clock::now();
  for (HttpPeer* peer : {&used, &silent}) {
    std::string more;
    EXPECT_TRUE(peer->ClosedAfter(more, 20000));
    EXPECT_GE(ElapsedMs(start), 8000);
    EXPECT_EQ(more, "");
  }
  EXPECT_EQ(bridge_->Log().find("page: client 127.0.0.1"), std::string::npos) << bridge_->Log();
}

// When the page is full, connections with nothing in hand (idle, or only
// part of a head) give way to a new client from any host; a stream does not.
TEST_F(WebTest, IdleConnectionsGiveWayWhenThePageIsFull) {
  StartWeb({}, "MAXCLIENTS=4\n");
  std::vector<std::unique_ptr<HttpPeer>> held;
  for (const char* from : {"127.0.0.2", "127.0.0.2", "127.0.0.3"}) {
    held.push_back(std::make_unique<HttpPeer>(port_, from));
    EXPECT_EQ(held.back()->Exchange(HttpRequestText("GET", "/api/me")).status, 200);
  }
  held.push_back(std::make_unique<HttpPeer>(port_, "127.0.0.3"));
  ASSERT_TRUE(held.back()->Send("GET /api/me HTTP/1.1\r\n"));  // part of a head
  for (int i = 0; i < 4; ++i) {
    HttpPeer newcomer(port_, "127.0.0.4");
    EXPECT_EQ(newcomer.Exchange(HttpRequestText("GET", "/api/me")).status, 200) << i;
  }
  EXPECT_TRUE(bridge_->WaitForLog("closed: it held a place with nothing in hand while 127.0.0.4"))
      << bridge_->Log();
}

// A request for a name the bridge is not reached by is refused, with or
// without a login: a page whose own name points at the bridge (DNS
// rebinding) sends its own as both Host and Origin.
TEST_F(WebTest, TheHostIsTheBridgesOwn) {
  StartWeb({}, "HOST=kdt.example.org\n");
  const std::string port = std::to_string(port_);
  const auto post = [this](const std::string& host, const std::string& origin) {
    HttpPeer peer(port_);
    return peer
        .Exchange("POST /api/units/studio/relays/a/input HTTP/1.1\r\nHost: " + host + "\r\n" +
                  kJson[0] + "\r\nOrigin: " + origin +
                  "\r\nContent-Length: 11\r\n\r\n{\"input\":2}")
        .status;
  };
  EXPECT_EQ(post("evil.example:" + port, "http://evil.example:" + port), 421);
  EXPECT_EQ(post("127.0.0.2:" + port, "http://127.0.0.2:" + port), 421);
  EXPECT_TRUE(FramesWithCode(*unit_, kdt::kCmdSetInput).empty());
  EXPECT_EQ(post("localhost:" + port, "http://localhost:" + port), 200);
  EXPECT_EQ(post("kdt.example.org", "http://kdt.example.org"), 200);
  HttpPeer peer(port_);
  EXPECT_EQ(peer.Exchange("GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n").status, 421);
}

// The event stream: a snapshot first, then each change of a unit and each
// entry of the record, every event with its number.
TEST_F(WebTest, TheEventStream) {
  StartWeb();
  HttpPeer stream(port_);
  const HttpAnswer head = stream.Exchange(HttpRequestText("GET", "/api/events"));
  ASSERT_EQ(head.status, 200);
  EXPECT_EQ(head.Header("content-type"), "text/event-stream; charset=utf-8");
  EXPECT_EQ(head.Header("cache-control"), "no-store");
  EXPECT_EQ(head.Header("x-accel-buffering"), "no");  // a proxy passes each event at once
  const std::string snapshot = stream.NextEvent();
  ASSERT_EQ(snapshot.rfind("id: ", 0), 0u) << snapshot;
  EXPECT_NE(snapshot.find("\nevent: snapshot\ndata: {\"seq\":"), std::string::npos) << snapshot;
  Panel(*unit_, "input A 2");
  std::string unit, log;
  for (int i = 0; i < 4 && (unit.empty() || log.empty()); ++i) {
    const std::string event = stream.NextEvent();
    if (event.find("event: unit") != std::string::npos) unit = event;
    if (event.find("event: log") != std::string::npos) log = event;
  }
  EXPECT_NE(unit.find("\"unit\":{\"id\":\"studio\""), std::string::npos) << unit;
  EXPECT_NE(
      log.find("\"change\":\"input\",\"from\":\"INPUT 1\",\"to\":\"INPUT 2\",\"by\":\"unit\""),
      std::string::npos)
      << log;
  const auto idOf = [](const std::string& event) { return std::stoull(event.substr(4)); };
  EXPECT_LT(idOf(snapshot), idOf(unit));
  EXPECT_NE(idOf(unit), idOf(log));
}

// A comment line at least every 15 s keeps a quiet stream known alive.
TEST_F(WebTest, AQuietStreamGetsACommentLine) {
  StartWeb();
  HttpPeer stream(port_);
  ASSERT_EQ(stream.Exchange(HttpRequestText("GET", "/api/events")).status, 200);
  ASSERT_NE(stream.NextEvent().find("event: snapshot"), std::string::npos);
  const auto start = Clock::now();
  const std::string comment = stream.NextEvent(20000);
  EXPECT_EQ(comment.rfind(": ", 0), 0u) << comment;
  EXPECT_LE(ElapsedMs(start), 16000);
}

// An event stream whose client leaves 256 KiB unread is closed, and nobody
// else waits for it.
TEST(Web, AStreamLeftUnreadIsClosed) {
  std::vector<std::unique_ptr<sim::SimUnit>> units;
  std::string config;
  for (int i = 0; i < 4; ++i) {
    sim::SimOptions options;
    options.port = 0;
    std::string error;
    units.push_back(StartRecordingUnit(options, error));
    ASSERT_TRUE(units.back()) << error;
    config += UnitSection("u" + std::to_string(i), units.back()->Port(), 0, "INTERVAL=1\n");
  }
  const int port = FreeLoopbackPort();
  BridgeProcess bridge(config + "[HTTP]\nLISTEN=127.0.0.1:" + std::to_string(port) + "\n");
  ASSERT_TRUE(bridge.WaitForLog("u3: connected to")) << bridge.Log();
  HttpPeer deaf(port);
  const int small = 4096;
  setsockopt(deaf.Handle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_TRUE(deaf.Send(HttpRequestText("GET", "/api/events")));  // and never read
  std::atomic<bool> changing{true};
  std::thread changes([&] {
    for (int n = 0; changing; ++n) {
      for (auto& unit : units) unit->SetName(1, std::string(20, char('a' + n % 26)));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  EXPECT_TRUE(bridge.WaitForLog("closed: it left 256 KiB unread", 60000)) << bridge.Log();
  changing = false;
  changes.join();
  HttpPeer other(port);
  EXPECT_EQ(other.Exchange(HttpRequestText("GET", "/api/me")).status, 200);
}

// Who switched what: a command from the page, from MQTT's place (an
// endpoint client here), and a change at the unit's front panel, each in the
// record with its cause, and in the log line for it.
TEST_F(WebTest, WhoSwitchedWhat) {
  StartWeb({"alice:operate:a-Pa55"}, "");
  const std::string alice = LogIn("alice", "a-Pa55");
  ASSERT_EQ(Post("/api/units/studio/relays/a/input", "{\"input\":2}", alice).status, 200);
  Panel(*hall_, "name B Foyer");
  ASSERT_TRUE(bridge_->WaitForLog("hall: RELAY B: name \"Backup feed\" -> \"Foyer\", by unit"))
      << bridge_->Log();
  EXPECT_TRUE(bridge_->WaitForLog("studio: RELAY A: input INPUT 1 -> INPUT 2, by web alice"));
  const QJsonArray entries = Json(Get("/api/log", alice).body)["entries"].toArray();
  ASSERT_GE(entries.size(), 4);  // two connections, two changes
  const QJsonObject last = entries[0].toObject(), before = entries[1].toObject();  // newest first
  EXPECT_EQ(before["by"].toString(), "web alice");
  EXPECT_EQ(before["unit"].toString(), "studio");
  EXPECT_EQ(before["relay"].toString(), "A");
  EXPECT_EQ(before["change"].toString(), "input");
  EXPECT_EQ(last["by"].toString(), "unit");
  EXPECT_EQ(last["to"].toString(), "Foyer");
  // As the page shows them: its words are the bridge's, not the page's own.
  EXPECT_EQ(before["text"].toString(),
            "studio RELAY A (Monitor): input INPUT 1 \u2192 INPUT 2, by web alice");
  EXPECT_EQ(last["text"].toString(),
            "hall RELAY B: name \u201CBackup feed\u201D \u2192 \u201CFoyer\u201D, by unit");
  EXPECT_TRUE(last["time"].toString().contains(
      QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)")));
  const QJsonObject connection = entries.last().toObject();  // the oldest
  EXPECT_EQ(connection["change"].toString(), "connection");
  EXPECT_EQ(connection["by"].toString(), "bridge");
  EXPECT_EQ(connection["to"].toString(), "connected");
  EXPECT_FALSE(connection.contains("relay"));
  EXPECT_EQ(connection["text"].toString(),
            connection["unit"].toString() + ": not connected yet \u2192 connected, by bridge");
}

// What the page shows but does not decide comes from the bridge, before a
// login too: the relays, the inputs, how long a name may be, how many
// entries the record keeps, how long an armed salvo waits.
TEST_F(WebTest, TheRulesThePageShows) {
  StartWeb({"alice:view:a-Pa55"}, "");
  const HttpAnswer answer = Get("/api/rules");
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(answer.body,
            "{\"relays\":[\"A\",\"B\",\"C\"],\"inputs\":[1,2],\"nameLength\":24,"
            "\"recordKept\":500,\"armedForMs\":30000}");
}

// Without USERS, a page that switches feeds is never opened to a network:
// only to this machine.
TEST(Web, NoLoginNoNetwork) {
  BridgeProcess open("[HTTP]\nLISTEN=0.0.0.0:8212\n", {"--check"});
  int status = 0;
  ASSERT_TRUE(open.Process().WaitForExit(kBridgeWaitMs, status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(open.Log().find(":1: LISTEN 0.0.0.0:8212 would open a page that switches feeds to the "
                            "network without a login"),
            std::string::npos)
      << open.Log();
}

}  // namespace
