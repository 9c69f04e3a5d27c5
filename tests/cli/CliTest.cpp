// kdt212ctl as scripts and hubs run it: the real program against the
// simulated unit on loopback, its output parsed, its exit codes checked.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ChildProcess.h"
#include "CodePage.h"
#include "Loopback.h"
#include "LoopbackPeer.h"
#include "OrdinaryUser.h"
#include "PanelCommands.h"
#include "RecordingUnit.h"
#include "SimUnit.h"
#include "UnitFixture.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 15000;  // a bound for what should take moments

// The exit codes the program documents.
constexpr int kOk = 0, kNotInState = 1, kUsage = 2, kUnreachable = 3, kRefused = 4;

QJsonObject ParseObject(const std::string& line) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
  return document.object();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

class CliTest : public UnitFixture {
 protected:
  // The program with the unit's address and port, and whatever else.
  Finished Ctl(std::vector<std::string> arguments, const Environment& environment = {}) {
    arguments.insert(arguments.begin(),
                     {"--address", kLoopback, "--port", std::to_string(unit_->Port())});
    return RunToEnd(KDT_CTL_PATH, arguments, environment);
  }

  void Panel(const std::string& line) {
    std::string reply;
    ASSERT_TRUE(sim::RunPanelCommand(*unit_, line, reply)) << reply;
  }
};

TEST_F(CliTest, StatusForPeopleIsATableWithoutColourWhenPiped) {
  StartUnit();
  Panel("input A 2");
  Panel("lock B on");
  const Finished run = Ctl({"status"});
  EXPECT_EQ(run.exitCode, kOk) << run.errors;
  EXPECT_EQ(run.output, "unit 127.0.0.1:" + std::to_string(unit_->Port()) +
                            ", model 212 (KDT-212)\n"
                            "RELAY  INPUT  LOCKED  NAME\n"
                            "A      2      no      Monitor\n"
                            "B      1      yes     Backup feed\n"
                            "C      1      no      Main feed\n");
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(unit_->Frames().back().bytes, kdt::GoodbyeFrame());
}

// On a terminal the inputs are coloured as the console paints them, unless
// the user asks for none (NO_COLOR, of any value) or the terminal cannot.
TEST_F(CliTest, ColourOnlyOnATerminalThatWantsIt) {
  StartUnit();
  Panel("input A 2");
  struct Case {
    Environment environment;
    bool coloured;
  };
  const Case cases[] = {
      {{{"TERM", "xterm"}, {"NO_COLOR", ""}}, true},
      {{{"TERM", "xterm"}, {"NO_COLOR", "1"}}, false},
      {{{"TERM", "dumb"}, {"NO_COLOR", ""}}, false},
  };
  for (const Case& c : cases) {
    const Finished run = RunToEnd(
        KDT_CTL_PATH, {"--address", kLoopback, "--port", std::to_string(unit_->Port()), "status"},
        c.environment, 20000, OutputTo::kTerminal);
    ASSERT_EQ(run.exitCode, kOk) << run.errors;
    EXPECT_NE(run.output.find("RELAY  INPUT"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("\x1b[33m2\x1b[0m") != std::string::npos, c.coloured)
        << c.environment[0].second << " " << c.environment[1].second << "\n"
        << run.output;
    EXPECT_EQ(run.output.find('\x1b') != std::string::npos, c.coloured);
  }
}

TEST_F(CliTest, StatusAsJsonCarriesNamesAsTextAndAsBytes) {
  StartUnit();
  Panel("name A Студия 2");
  Panel("name C --hex 1B 41");
  Panel("state B 0x42");
  const Finished run = Ctl({"status", "--json"});
  ASSERT_EQ(run.exitCode, kOk) << run.errors;
  ASSERT_EQ(Lines(run.output).size(), 1u);  // one object
  const QJsonObject status = ParseObject(run.output);
  EXPECT_EQ(status["model"].toInt(), 212);
  EXPECT_EQ(status["unit"].toString().toStdString(), "127.0.0.1:" + std::to_string(unit_->Port()));
  const QJsonArray relays = status["relays"].toArray();
  ASSERT_EQ(relays.size(), 3);
  const QJsonObject a = relays[0].toObject(), b = relays[1].toObject(), c = relays[2].toObject();
  EXPECT_EQ(a["relay"].toString(), "A");
  EXPECT_EQ(a["number"].toInt(), 3);
  EXPECT_EQ(a["input"].toInt(), 1);
  EXPECT_EQ(a["name"].toString(), QString::fromUtf8("Студия 2"));
  EXPECT_EQ(a["name_hex"].toString(), "D1F2F3E4E8FF2032");
  EXPECT_EQ(b["relay"].toString(), "B");
  EXPECT_EQ(b["input"].toInt(), 2);
  EXPECT_TRUE(b["locked"].toBool());
  EXPECT_EQ(b["state"].toInt(), 0x42);
  EXPECT_EQ(c["name"].toString(), QString("\x1b"
                                          "A"));  // a control character, escaped by JSON
  EXPECT_EQ(c["name_hex"].toString(), "1B41");
  EXPECT_EQ(run.output.find('\x1b'), std::string::npos);
}

// Names are the unit's bytes: whatever they hold comes back exactly from the
// JSON of status and of watch, and the table escapes what a terminal would
// act on (DEL, and 0x98, which the code page leaves undefined).
TEST_F(CliTest, AnyNameSurvivesJsonAndPrintsEscaped) {
  StartUnit();
  const std::string tricky = R"(a\"b\\c")";
  Panel("name A " + tricky);
  Panel("name B --hex 41 7F 98 42");
  const Finished status = Ctl({"status", "--json"});
  ASSERT_EQ(status.exitCode, kOk) << status.errors;
  const QJsonArray relays = ParseObject(status.output)["relays"].toArray();
  EXPECT_EQ(relays[0].toObject()["name"].toString().toStdString(), tricky);
  EXPECT_EQ(relays[1].toObject()["name"].toString(), QString::fromUtf16(u"A\u007F\u0098B"));

  ChildProcess watch(KDT_CTL_PATH, {"--address", kLoopback, "--port", std::to_string(unit_->Port()),
                                    "watch", "--json"});
  ASSERT_TRUE(watch.WaitForOutput("\"relay\":\"C\"", kWaitMs)) << watch.Errors();
  Panel("name C " + tricky);
  ASSERT_TRUE(watch.WaitForLines(5, kWaitMs)) << watch.Output();
  EXPECT_EQ(ParseObject(Lines(watch.Output())[4])["name"].toString().toStdString(), tricky);

  const Finished table = Ctl({"status"});
  EXPECT_NE(table.output.find("A\\x7F\\x98B"), std::string::npos) << table.output;
  EXPECT_NE(table.output.find(R"(a\\"b\\\\c")"), std::string::npos) << table.output;
}

TEST_F(CliTest, SetSwitchesAndWaitsForTheUnitToShowIt) {
  StartUnit();
  const Finished run = Ctl({"set", "a", "2"});
  EXPECT_EQ(run.exitCode, kOk) << run.errors;
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(unit_->Status().state[2] & kdt::kStateInputMask, 2);
  EXPECT_EQ(FramesWithCode(*unit_, kdt::kCmdSetInput),
            std::vector<kdt::Frame>{kdt::SetInputFrame(2, 3)});
  // Relay numbers are the unit's: 1 is RELAY C.
  EXPECT_EQ(Ctl({"set", "1", "2"}).exitCode, kOk);
  EXPECT_EQ(unit_->Status().state[0] & kdt::kStateInputMask, 2);
}

TEST_F(CliTest, LockedRelayIsRefusedAndNothingIsSent) {
  StartUnit();
  Panel("lock B on");
  const Finished run = Ctl({"set", "B", "2"});
  EXPECT_EQ(run.exitCode, kRefused);
  EXPECT_EQ(run.errors, "kdt212ctl: 127.0.0.1:" + std::to_string(unit_->Port()) +
                            ": RELAY B is locked at the unit\n");
  EXPECT_TRUE(FramesWithCode(*unit_, kdt::kCmdSetInput).empty());
}

// A unit that answers every frame but the goodbye with the same status,
// RELAY A on INPUT 1, or answers nothing at all. It counts the frames it
// gets, and measures from the goodbye to the client's close.
class UnchangingUnit {
 public:
  explicit UnchangingUnit(bool answers)
      : peer_([this, answers](ScriptedPeer::Link& link) {
          const kdt::ReplyBytes reply = Kdt212Reply();
          for (;;) {
            const auto length = link.Read(1);
            if (length.empty()) return;
            const auto body = link.Read(length[0]);
            if (body.size() != length[0]) return;
            ++frames_;
            if (body[0] == kdt::kCmdGoodbye) break;
            if (answers) link.Send(reply.data(), reply.size());
          }
          const auto goodbye = Clock::now();
          link.Read(1);  // nothing comes: the client's close ends the read
          closedAfterGoodbyeMs_ = ElapsedMs(goodbye);
        }) {}
  int Port() const { return peer_.Port(); }
  int Frames() const { return frames_; }
  // -1 until the client has closed after its goodbye.
  std::int64_t ClosedAfterGoodbyeMs() const { return closedAfterGoodbyeMs_; }

 private:
  std::atomic<int> frames_{0};
  std::atomic<std::int64_t> closedAfterGoodbyeMs_{-1};
  ScriptedPeer peer_;  // last: its script uses the counters
};

// A unit that answers but does not switch: a failure once the time-out is over.
TEST(CliUnit, UnitThatDoesNotSwitchFailsAfterTheTimeOut) {
  UnchangingUnit unit(true);
  auto start = Clock::now();
  const Finished run = RunToEnd(
      KDT_CTL_PATH,
      {"-a", kLoopback, "--port", std::to_string(unit.Port()), "-t", "0.5", "set", "A", "2"});
  EXPECT_EQ(run.exitCode, kRefused);
  EXPECT_EQ(run.errors, "kdt212ctl: 127.0.0.1:" + std::to_string(unit.Port()) +
                            ": the unit did not switch to INPUT 2 within 0.5 s\n");
  EXPECT_LT(ElapsedMs(start), 2500);
}

TEST_F(CliTest, SyncSwitchesTheRelaysInConsecutiveCycles) {
  StartUnit();
  const Finished run = Ctl({"sync", "2", "A", "c"});
  EXPECT_EQ(run.exitCode, kOk) << run.errors;
  const auto frames = unit_->Frames();
  auto first = std::find_if(frames.begin(), frames.end(),
                            [](const auto& f) { return f.bytes == kdt::SetInputFrame(2, 3); });
  ASSERT_LE(first + 2, frames.end());
  EXPECT_EQ(first[1].bytes, kdt::SetInputFrame(2, 1));  // the next exchange, no poll between
  EXPECT_EQ(unit_->Status().state[2] & kdt::kStateInputMask, 2);
  EXPECT_EQ(unit_->Status().state[0] & kdt::kStateInputMask, 2);
  EXPECT_EQ(unit_->Status().state[1] & kdt::kStateInputMask, 1);
}

TEST_F(CliTest, NameGoesOutInTheUnitsCodePageStrippedAsTheConsoleDoes) {
  StartUnit();
  const Finished run = Ctl({"name", "B", "  Студия", "2\t"});
  EXPECT_EQ(run.exitCode, kOk) << run.errors;
  EXPECT_EQ(unit_->Status().name[1], "\xD1\xF2\xF3\xE4\xE8\xFF 2");
  // The longest name the unit takes: 24 characters, 24 bytes in its code page.
  const std::string longest = "Студия-" + std::string(17, 'x');
  EXPECT_EQ(Ctl({"name", "A", longest}).exitCode, kOk);
  EXPECT_EQ(kdt::DecodeToUtf8(unit_->Status().name[2]), longest);
}

// Text the unit cannot take is refused before anything is sent: the program
// does not even connect.
TEST_F(CliTest, NamesTheUnitCannotTakeAreRefused) {
  StartUnit();
  struct Case {
    std::string name;
    std::string said;
  };
  const Case cases[] = {
      {"Studio \xE4\xB8\xAD",
       "RELAY A keeps its name: the unit's code page (windows-1251) has no "
       "\"\xE4\xB8\xAD\" (U+4E2D)"},
      {std::string(25, 'x'), "RELAY A keeps its name: 25 characters, the unit takes 24"},
      {"two\x01lines", "RELAY A keeps its name: control characters are not taken"},
  };
  for (const Case& c : cases) {
    const Finished run = Ctl({"name", "A", c.name});
    EXPECT_EQ(run.exitCode, kUsage) << c.name;
    EXPECT_EQ(run.errors, "kdt212ctl: " + c.said + "\n");
  }
  EXPECT_EQ(unit_->ConnectionsAccepted(), 0);
}

TEST_F(CliTest, IsAnswersWithTheExitCode) {
  StartUnit();
  Panel("input A 2");
  EXPECT_EQ(Ctl({"is", "A", "2"}).exitCode, kOk);
  EXPECT_EQ(Ctl({"is", "A", "1"}).exitCode, kNotInState);
  EXPECT_EQ(Ctl({"is", "C", "1"}).exitCode, kOk);
}

TEST_F(CliTest, SilentUnitTimesOut) {
  sim::SimOptions options;
  options.fault = sim::Fault::kSilent;
  StartUnit(options);
  auto start = Clock::now();
  const Finished run = Ctl({"--timeout", "0.5", "is", "A", "1"});
  EXPECT_EQ(run.exitCode, kUnreachable);
  EXPECT_EQ(run.errors, "kdt212ctl: 127.0.0.1:" + std::to_string(unit_->Port()) +
                            ": no reply: no answer within 0.5 s\n");
  EXPECT_LT(ElapsedMs(start), 2500);
}

TEST(CliUnit, RefusedConnectionNamesTheAddressAndTheReason) {
  const int port = FreeLoopbackPort();
  const Finished run =
      RunToEnd(KDT_CTL_PATH, {"--address", kLoopback, "--port", std::to_string(port), "status"});
  EXPECT_EQ(run.exitCode, kUnreachable);
  EXPECT_EQ(run.errors, "kdt212ctl: 127.0.0.1:" + std::to_string(port) +
                            ": cannot connect: connection refused\n");
  EXPECT_EQ(run.output, "");
}

// A connection closed before any reply sends the operator to whoever took
// it (a bridge refusing this client, or one whose unit is down), not to the
// unit; one closed after a reply was the unit's doing.
TEST(CliUnit, AConnectionClosedBeforeAnyReplyIsSaidSo) {
  for (const bool replyFirst : {false, true}) {
    ScriptedPeer peer([replyFirst](ScriptedPeer::Link& link) {
      if (replyFirst) {
        link.Read(3);
        const kdt::ReplyBytes reply = Kdt212Reply("Studio");
        link.Send(reply.data(), reply.size());
      }
      link.Read(3);
      link.Close();
    });
    const Finished run = RunToEnd(KDT_CTL_PATH, {"--address", kLoopback, "--port",
                                                 std::to_string(peer.Port()), "set", "A", "2"});
    EXPECT_EQ(run.exitCode, kUnreachable) << run.errors;
    EXPECT_NE(
        run.errors.find(replyFirst ? "closed by the unit" : ": no reply: closed before any reply"),
        std::string::npos)
        << run.errors;
  }
}

TEST(CliUnit, UsageHelpAndVersion) {
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string output;  // the start of standard output
    std::string errors;  // the start of standard error
  };
  const Case cases[] = {
      {{"--help"}, kOk, "Usage: kdt212ctl [OPTIONS] COMMAND [ARGUMENTS]\n", ""},
      {{"--version"}, kOk, "kdt212ctl 1.1\n", ""},
      {{}, kUsage, "", "kdt212ctl: no command given; usage: kdt212ctl [OPTIONS] COMMAND"},
      {{"switch", "A", "2"}, kUsage, "", "kdt212ctl: unknown command 'switch';"},
      {{"--verbose", "status"}, kUsage, "", "kdt212ctl: unknown option '--verbose';"},
      {{"set", "D", "1"}, kUsage, "", "kdt212ctl: set: no relay 'D' (A, B, C or 3, 2, 1);"},
      {{"set", "A", "3"}, kUsage, "", "kdt212ctl: set: no input '3' (1 or 2);"},
      {{"is", "A"}, kUsage, "", "kdt212ctl: is: takes 2 arguments;"},
      {{"--timeout", "soon", "status"}, kUsage, "", "kdt212ctl: --timeout takes seconds"},
      {{"--address", "300.1.1.1", "status"}, kUsage, "", "kdt212ctl: not an IPv4 address: '300"},
  };
  for (const Case& c : cases) {
    const Finished run = RunToEnd(KDT_CTL_PATH, c.arguments);
    const std::string what = c.arguments.empty() ? "(none)" : c.arguments[0];
    EXPECT_EQ(run.exitCode, c.exitCode) << what;
    EXPECT_EQ(run.output.substr(0, c.output.size()), c.output) << what;
    EXPECT_EQ(run.errors.substr(0, c.errors.size()), c.errors) << what;
    if (c.exitCode == kUsage) {
      EXPECT_EQ(Lines(run.errors).size(), 1u) << run.errors;  // one line
    }
  }
}

// Where the address comes from when --address is not given: the environment,
// else the console's settings file beside a kdt212-panel; never the factory
// address by default.
TEST_F(CliTest, AddressFromTheEnvironmentOrTheConsolesSettings) {
  StartUnit();
  char pattern[] = "/tmp/kdt-ctl-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path folder = pattern;
  fs::copy_file(KDT_CTL_PATH, folder / "kdt212ctl");
  const std::string ctl = (folder / "kdt212ctl").string();
  const std::string port = std::to_string(unit_->Port());
  const Environment clean = {
      {"KDT212_ADDRESS", ""}, {"XDG_CONFIG_HOME", pattern}, {"HOME", pattern}};

  Finished run = RunToEnd(ctl, {"--port", port, "status"}, clean);
  EXPECT_EQ(run.exitCode, kUsage);
  EXPECT_EQ(run.errors.rfind("kdt212ctl: no unit address: give --address A, set KDT212_ADDRESS", 0),
            0u)
      << run.errors;

  run = RunToEnd(ctl, {"--port", port, "is", "A", "1"},
                 {{"KDT212_ADDRESS", kLoopback}, {"XDG_CONFIG_HOME", pattern}, {"HOME", pattern}});
  EXPECT_EQ(run.exitCode, kOk) << run.errors;

  // An installed console beside it, with its settings file.
  std::ofstream(folder / "kdt212-panel") << "";
  fs::permissions(folder / "kdt212-panel", fs::perms::owner_all);
  std::ofstream(folder / "kdt212-panel.ini") << "[NETWORK]\r\nADDR=127.0.0.1\r\n";
  run = RunToEnd(ctl, {"--port", port, "is", "A", "1"}, clean);
  EXPECT_EQ(run.exitCode, kOk) << run.errors;
  EXPECT_EQ(run.errors, "");

  // A variable that is set but empty counts as not set.
  run = RunToEnd("/usr/bin/env", {"KDT212_ADDRESS=", ctl, "--port", port, "is", "A", "1"}, clean);
  EXPECT_EQ(run.exitCode, kOk) << run.errors;
  fs::remove_all(folder);
}

// The console writes the factory address into its settings file until the
// operator sets one: that says nothing about where the unit is, so it counts
// as no address. The run goes in a network of its own with nothing in it:
// should it try the factory address all the same, it reaches no real network.
TEST(CliUnit, FactoryAddressInTheConsolesSettingsIsNoAddress) {
  char pattern[] = "/tmp/kdt-ctl-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path folder = pattern;
  fs::copy_file(KDT_CTL_PATH, folder / "kdt212ctl");
  std::ofstream(folder / "kdt212-panel") << "";
  fs::permissions(folder / "kdt212-panel", fs::perms::owner_all);
  std::ofstream(folder / "kdt212-panel.ini") << "[NETWORK]\r\nADDR=192.168.0.200\r\nAUTO=0\r\n";
  const Finished run =
      RunToEnd("/usr/bin/unshare", {"--net", "--", (folder / "kdt212ctl").string(), "status"},
               {{"KDT212_ADDRESS", ""}, {"XDG_CONFIG_HOME", pattern}, {"HOME", pattern}});
  EXPECT_EQ(run.exitCode, kUsage) << run.errors;
  EXPECT_EQ(run.errors, "kdt212ctl: no unit address: " + (folder / "kdt212-panel.ini").string() +
                            " holds only the factory address; give --address 192.168.0.200 if "
                            "that really is the unit; usage: kdt212ctl [OPTIONS] COMMAND "
                            "[ARGUMENTS], --help tells more\n");
  fs::remove_all(folder);
}

// A settings file beside the console that the user may read but not write,
// in a folder the user may not write, is not the user's: run by an ordinary
// user, kdt212ctl takes the address from the user's configuration folder, as
// the console would.
TEST_F(CliTest, ReadOnlySettingsBesideTheConsoleAreNotTheUsers) {
  StartUnit();
  char pattern[] = "/tmp/kdt-ctl-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path folder = pattern;
  fs::create_directories(folder / "bin");
  fs::create_directories(folder / "home/.config/kdt212-panel");
  fs::copy_file(KDT_CTL_PATH, folder / "bin/kdt212ctl");
  std::ofstream(folder / "bin/kdt212-panel") << "";
  fs::permissions(folder / "bin/kdt212-panel", fs::perms::owner_all | fs::perms::group_exec |
                                                   fs::perms::others_exec | fs::perms::others_read);
  // Beside the console: an address where nothing listens.
  std::ofstream(folder / "bin/kdt212-panel.ini") << "[NETWORK]\r\nADDR=127.0.0.2\r\n";
  fs::permissions(folder / "bin/kdt212-panel.ini",
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  std::ofstream(folder / "home/.config/kdt212-panel/kdt212-panel.ini")
      << "[NETWORK]\r\nADDR=127.0.0.1\r\n";
  const testsupport::OrdinaryUser user;
  for (const char* home : {"home", "home/.config", "home/.config/kdt212-panel",
                           "home/.config/kdt212-panel/kdt212-panel.ini"}) {
    user.Own((folder / home).string());
  }
  user.SetFolder(pattern, false);
  user.SetFolder((folder / "bin").string(), false);
  const auto [program, arguments] =
      user.Command((folder / "bin/kdt212ctl").string(),
                   {"--port", std::to_string(unit_->Port()), "is", "A", "1"});
  const Finished run = RunToEnd(
      program, arguments,
      {{"KDT212_ADDRESS", ""}, {"XDG_CONFIG_HOME", ""}, {"HOME", (folder / "home").string()}});
  EXPECT_EQ(run.exitCode, kOk) << run.errors;
  fs::remove_all(folder);
}

// watch: the state first, then one line per change made at the unit; Ctrl+C,
// and the signals with which a service manager or a logout end it, say
// goodbye and end it with 0.
class WatchEnded : public CliTest, public ::testing::WithParamInterface<int> {};

TEST_P(WatchEnded, SeesFrontPanelChangesAndEndsWithAGoodbye) {
  StartUnit();
  ChildProcess watch(KDT_CTL_PATH, {"--address", kLoopback, "--port", std::to_string(unit_->Port()),
                                    "watch", "--json"});
  ASSERT_TRUE(watch.WaitForOutput("\"relay\":\"C\"", kWaitMs)) << watch.Errors();
  Panel("input A 2");
  ASSERT_TRUE(watch.WaitForOutput("\"input\":2", kWaitMs)) << watch.Output();
  watch.Signal(GetParam());
  int status = 0;
  ASSERT_TRUE(watch.WaitForExit(kWaitMs, status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kOk) << status;
  const std::vector<std::string> lines = Lines(watch.Output());
  ASSERT_EQ(lines.size(), 5u) << watch.Output();
  EXPECT_EQ(ParseObject(lines[0])["event"].toString(), "connected");
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(ParseObject(lines[i])["event"].toString(), "relay");
  const QJsonObject change = ParseObject(lines[4]);
  EXPECT_EQ(change["relay"].toString(), "A");
  EXPECT_EQ(change["input"].toInt(), 2);
  EXPECT_FALSE(change["time"].toString().isEmpty());
  ASSERT_TRUE(unit_->WaitForConnectionsOpen(0, kWaitMs));
  EXPECT_EQ(unit_->Frames().back().bytes, kdt::GoodbyeFrame());
}

INSTANTIATE_TEST_SUITE_P(Signals, WatchEnded, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& param) { return std::string(sigabbrev_np(param.param)); });

TEST_F(CliTest, WatchReconnectsAfterADrop) {
  StartUnit();
  ChildProcess watch(KDT_CTL_PATH,
                     {"--address", kLoopback, "--port", std::to_string(unit_->Port()), "watch"});
  ASSERT_TRUE(watch.WaitForOutput("RELAY C", kWaitMs)) << watch.Errors();
  unit_->SetFault(sim::Fault::kClose, 0);
  ASSERT_TRUE(watch.WaitForOutput("disconnected: ", kWaitMs)) << watch.Output();
  unit_->SetFault(sim::Fault::kNone, 0);
  Panel("name B Back again");
  ASSERT_TRUE(watch.WaitForOutput("RELAY B input=1 locked=no name=\"Back again\"", kWaitMs))
      << watch.Output();
  EXPECT_GE(unit_->ConnectionsAccepted(), 2);
  watch.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(watch.WaitForExit(kWaitMs, status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kOk);
}

// A unit that answers everything but the goodbye: the run closes the
// connection once the goodbye's grace of 100 ms is over, whether it ends by
// itself or is interrupted. The peer measures from the goodbye to the close.
TEST(CliUnit, GoodbyesReplyIsNotAwaitedPastItsGrace) {
  for (const bool interrupted : {false, true}) {
    UnchangingUnit unit(true);
    const std::vector<std::string> arguments = {"--address", kLoopback, "--port",
                                                std::to_string(unit.Port()),
                                                interrupted ? "watch" : "status"};
    ChildProcess run(KDT_CTL_PATH, arguments);
    if (interrupted) {
      ASSERT_TRUE(run.WaitForOutput("RELAY C", kWaitMs)) << run.Errors();
      run.Signal(SIGINT);
    }
    int status = 0;
    ASSERT_TRUE(run.WaitForExit(kWaitMs, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kOk) << run.Errors();
    const auto start = Clock::now();
    while (unit.ClosedAfterGoodbyeMs() < 0 && ElapsedMs(start) < kWaitMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::string what = interrupted ? "watch" : "status";
    EXPECT_GE(unit.ClosedAfterGoodbyeMs(), 90) << what;  // it did wait a little
    EXPECT_LT(unit.ClosedAfterGoodbyeMs(), 600) << what;
  }
}

// Ctrl+C while a run waits for the unit (a reply that does not come, a switch
// that does not show) ends it with 130.
TEST(CliUnit, InterruptedRunsExitWith130) {
  struct Case {
    std::vector<std::string> command;
    bool answers;
    int framesBefore;  // seen by the unit before the interruption
  };
  const Case cases[] = {
      {{"status"}, false, 1},        // no reply to the first poll
      {{"set", "A", "2"}, true, 4},  // the command, then polls that never show the switch
  };
  for (const Case& c : cases) {
    UnchangingUnit unit(c.answers);
    std::vector<std::string> arguments = {
        "--address", kLoopback, "--port", std::to_string(unit.Port()), "--timeout", "60"};
    arguments.insert(arguments.end(), c.command.begin(), c.command.end());
    ChildProcess run(KDT_CTL_PATH, arguments);
    const auto start = Clock::now();
    while (unit.Frames() < c.framesBefore && ElapsedMs(start) < kWaitMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GE(unit.Frames(), c.framesBefore) << c.command[0];
    run.Signal(SIGINT);
    int status = 0;
    ASSERT_TRUE(run.WaitForExit(kWaitMs, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130)
        << c.command[0] << " " << status << " " << run.Errors();
  }
}

// watch --wait: a hub starts it at boot, before the unit is there. It says
// once that it waits, then serves as soon as the unit comes. Without --wait
// a unit that is not there is an error at once.
TEST(CliUnit, WatchWaitsForAUnitThatIsNotThereYet) {
  const int port = FreeLoopbackPort();
  const std::vector<std::string> base = {"--address", kLoopback, "--port", std::to_string(port),
                                         "watch"};
  const Finished plain = RunToEnd(KDT_CTL_PATH, base);
  EXPECT_EQ(plain.exitCode, kUnreachable);

  std::vector<std::string> waiting = base;
  waiting.push_back("--wait");
  ChildProcess watch(KDT_CTL_PATH, waiting);
  const auto start = Clock::now();
  while (watch.Errors().empty() && ElapsedMs(start) < kWaitMs) watch.WaitForOutput("?", 50);
  EXPECT_EQ(watch.Errors(), "kdt212ctl: 127.0.0.1:" + std::to_string(port) +
                                ": cannot connect: connection refused; waiting for the unit\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // a few attempts
  sim::SimOptions options;
  options.port = static_cast<std::uint16_t>(port);
  std::string error;
  auto unit = StartRecordingUnit(options, error);
  ASSERT_TRUE(unit) << error;
  ASSERT_TRUE(watch.WaitForOutput("RELAY C", kWaitMs)) << watch.Errors();
  EXPECT_EQ(Lines(watch.Errors()).size(), 1u) << watch.Errors();  // no line per attempt
  watch.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(watch.WaitForExit(kWaitMs, status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kOk);
}

}  // namespace
