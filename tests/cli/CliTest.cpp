// kdt212ctl as scripts and hubs run it: the real program against the
// simulated unit on loopback, its output parsed, its exit codes checked.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <fstream>

#include "ChildProcess.h"
#include "CodePage.h"
#include "Loopback.h"
#include "LoopbackPeer.h"
#include "PanelCommands.h"
#include "RecordingUnit.h"
#include "SimUnit.h"

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

class CliTest : public ::testing::Test {
 protected:
  void StartUnit(sim::SimOptions options = {}) {
    options.port = 0;
    std::string error;
    unit_ = StartRecordingUnit(options, error);
    ASSERT_TRUE(unit_) << error;
  }

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

  std::unique_ptr<sim::SimUnit> unit_;
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

// A unit that answers but does not switch: a failure once the time-out is over.
TEST(CliUnit, UnitThatDoesNotSwitchFailsAfterTheTimeOut) {
  ScriptedPeer peer([](ScriptedPeer::Link& link) {
    kdt::UnitStatus status;
    status.model = kdt::kModelKdt212;
    status.state = {1, 1, 1};
    const kdt::ReplyBytes reply = kdt::EncodeReply(status);
    for (;;) {
      const auto length = link.Read(1);
      if (length.empty() || link.Read(length[0]).size() != length[0]) return;
      link.Send(reply.data(), reply.size());
    }
  });
  auto start = Clock::now();
  const Finished run = RunToEnd(
      KDT_CTL_PATH,
      {"-a", kLoopback, "--port", std::to_string(peer.Port()), "-t", "0.5", "set", "A", "2"});
  EXPECT_EQ(run.exitCode, kRefused);
  EXPECT_EQ(run.errors, "kdt212ctl: 127.0.0.1:" + std::to_string(peer.Port()) +
                            ": the unit did not switch to INPUT 2 within 0.5 s\n");
  EXPECT_LT(ElapsedMs(start), 2500);
  peer.Release();
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
                            ": cannot connect: Connection refused\n");
  EXPECT_EQ(run.output, "");
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
      {{}, kUsage, "", "kdt212ctl: no command given\nusage: kdt212ctl"},
      {{"switch", "A", "2"}, kUsage, "", "kdt212ctl: unknown command 'switch'\n"},
      {{"--verbose", "status"}, kUsage, "", "kdt212ctl: unknown option '--verbose'\n"},
      {{"set", "D", "1"}, kUsage, "", "kdt212ctl: set: no relay 'D' (A, B, C or 3, 2, 1)\n"},
      {{"set", "A", "3"}, kUsage, "", "kdt212ctl: set: no input '3' (1 or 2)\n"},
      {{"is", "A"}, kUsage, "", "kdt212ctl: is: takes 2 arguments\n"},
      {{"--timeout", "soon", "status"}, kUsage, "", "kdt212ctl: --timeout takes seconds"},
      {{"--address", "300.1.1.1", "status"}, kUsage, "", "kdt212ctl: not an IPv4 address: '300"},
  };
  for (const Case& c : cases) {
    const Finished run = RunToEnd(KDT_CTL_PATH, c.arguments);
    const std::string what = c.arguments.empty() ? "(none)" : c.arguments[0];
    EXPECT_EQ(run.exitCode, c.exitCode) << what;
    EXPECT_EQ(run.output.substr(0, c.output.size()), c.output) << what;
    EXPECT_EQ(run.errors.substr(0, c.errors.size()), c.errors) << what;
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
  fs::remove_all(folder);
}

// watch: the state first, then one line per change made at the unit; Ctrl+C
// says goodbye and ends it with 0.
TEST_F(CliTest, WatchSeesFrontPanelChangesAndEndsWithAGoodbyeOnCtrlC) {
  StartUnit();
  ChildProcess watch(KDT_CTL_PATH, {"--address", kLoopback, "--port", std::to_string(unit_->Port()),
                                    "watch", "--json"});
  ASSERT_TRUE(watch.WaitForOutput("\"relay\":\"C\"", kWaitMs)) << watch.Errors();
  Panel("input A 2");
  ASSERT_TRUE(watch.WaitForOutput("\"input\":2", kWaitMs)) << watch.Output();
  watch.Signal(SIGINT);
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

}  // namespace
