// The console as a whole program: its command line, where it keeps its
// settings, and how it closes when the system ends it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ChildProcess.h"
#include "OrdinaryUser.h"
#include "PanelProcess.h"
#include "RecordingUnit.h"
#include "SimUnit.h"
#include "UnitFrames.h"

using testsupport::PanelOptions;
using testsupport::PanelProcess;

namespace {

constexpr int kWaitMs = 15000;  // a bound for what should take moments
const testsupport::Environment kOffscreen = {{"QT_QPA_PLATFORM", "offscreen"}};

// True once the process handles the signal itself: its handlers are in place.
bool Catches(pid_t pid, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigCgt:")) {
      return ((std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1) != 0;
    }
  }
  return false;
}

bool WaitUntilCatching(pid_t pid, int signal) {
  for (int waited = 0; waited < kWaitMs; waited += 10) {
    if (Catches(pid, signal)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The tests may run at once, each with a unit on the console's port: each has
// an address of 127.0.1.0/24 of its own.
class PanelProcessTest : public ::testing::Test {
 protected:
  void StartUnit(int host) {
    address_ = "127.0.1." + std::to_string(host);
    sim::SimOptions options;
    options.address = address_;
    options.port = kdt::kUnitPort;
    std::string error;
    unit_ = testsupport::StartRecordingUnit(options, error);
    ASSERT_TRUE(unit_) << error;
  }

  // A comment line: every save drops it, so its absence shows the file saved.
  std::string Settings() const {
    return ";not saved yet\r\n[NETWORK]\r\nADDR=" + address_ + "\r\nAUTO=1\r\n";
  }

  // Autoconnect brings the console to the unit within about a second.
  void WaitUntilConnected() { ASSERT_TRUE(unit_->WaitForFrames(5, kWaitMs)); }

  std::string address_;
  std::unique_ptr<sim::SimUnit> unit_;
};

class EndedBySignal : public PanelProcessTest, public ::testing::WithParamInterface<int> {};

TEST_P(EndedBySignal, SavesSaysGoodbyeAndExitsWithZero) {
  StartUnit(GetParam());
  PanelProcess panel({Settings(), kOffscreen, {}});
  WaitUntilConnected();
  panel.Signal(GetParam());
  int status = 0;
  ASSERT_TRUE(panel.WaitForExit(kWaitMs, status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string saved = panel.SettingsText();
  EXPECT_EQ(saved.find(";not saved yet"), std::string::npos) << saved;
  EXPECT_NE(saved.find("[NETWORK]\r\nADDR=" + address_ + "\r\nAUTO=1\r\n"), std::string::npos)
      << saved;
  EXPECT_NE(saved.find("[RELAY A]\r\nSYNC=0\r\n"), std::string::npos) << saved;
  EXPECT_EQ(unit_->Frames().back().bytes, kdt::GoodbyeFrame());
}

INSTANTIATE_TEST_SUITE_P(Signals, EndedBySignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& param) { return std::string(sigabbrev_np(param.param)); });

// A console that cannot close in order (its save failed and the message box
// waits) still ends at once on a second signal.
TEST_F(PanelProcessTest, SecondSignalWhileClosingEndsAtOnce) {
  StartUnit(100);
  PanelProcess panel({Settings(), kOffscreen, {}});
  WaitUntilConnected();
  std::filesystem::remove(panel.SettingsPath());
  std::filesystem::create_directory(panel.SettingsPath());  // the save will fail
  panel.Signal(SIGTERM);
  int status = 0;
  EXPECT_FALSE(panel.WaitForExit(1000, status));  // closing, held by the message box
  panel.Signal(SIGTERM);
  ASSERT_TRUE(panel.WaitForExit(kWaitMs, status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

// --help and --version answer without a display; anything the console and
// the toolkit do not know is refused in one line.
TEST(PanelCommandLine, HelpVersionAndRefusals) {
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string output;  // the start of standard output
    std::string errors;  // all of standard error
  };
  const std::string usage = "usage: kdt212-panel [--settings FILE] [--help] [--version]\n";
  const Case cases[] = {
      {{"--help"}, 0, "Usage: kdt212-panel [--settings FILE]\n", ""},
      {{"-h"}, 0, "Usage: kdt212-panel [--settings FILE]\n", ""},
      {{"--version"}, 0, "kdt212-panel 1.1\n", ""},
      {{"--bogus"}, 2, "", "kdt212-panel: unknown option '--bogus'; " + usage},
      {{"stray"}, 2, "", "kdt212-panel: unexpected argument 'stray'; " + usage},
      {{"--settings"}, 2, "", "kdt212-panel: --settings needs a file; " + usage},
      {{"--settings="}, 2, "", "kdt212-panel: --settings needs a file; " + usage},
  };
  const testsupport::Environment noDisplay = {{"DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
  for (const Case& c : cases) {
    PanelProcess panel({"", noDisplay, c.arguments});
    int status = 0;
    ASSERT_TRUE(panel.WaitForExit(kWaitMs, status)) << c.arguments[0];
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitCode) << c.arguments[0];
    EXPECT_EQ(panel.Process().Output().substr(0, c.output.size()), c.output) << c.arguments[0];
    EXPECT_EQ(panel.Process().Errors(), c.errors) << c.arguments[0];
  }
}

// The toolkit's own options, with their values, are the toolkit's: the
// console starts with them and no display of its own.
TEST(PanelCommandLine, ToolkitOptionsWithTheirValues) {
  PanelProcess panel({"[NETWORK]\r\nADDR=127.0.1.120\r\nAUTO=0\r\n",
                      {{"DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}},
                      {"-platform", "offscreen", "-style", "fusion", "--stylesheet=", "-reverse"}});
  ASSERT_TRUE(WaitUntilCatching(panel.Pid(), SIGTERM)) << panel.Process().Errors();
  panel.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(panel.WaitForExit(kWaitMs, status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << panel.Process().Errors();
}

// --settings FILE: one window per unit, each with its own file, wherever the
// program lies.
TEST_F(PanelProcessTest, SettingsFileNamedOnTheCommandLine) {
  StartUnit(110);
  char pattern[] = "/tmp/kdt-unit-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string file = std::string(pattern) + "/unit-110.ini";
  std::ofstream(file, std::ios::binary) << Settings();
  PanelProcess panel({"", kOffscreen, {"--settings", file}});
  WaitUntilConnected();  // to the unit the file names
  panel.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(panel.WaitForExit(kWaitMs, status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string saved = testsupport::FileText(file);
  EXPECT_EQ(saved.find(";not saved yet"), std::string::npos) << saved;
  EXPECT_NE(saved.find("ADDR=" + address_ + "\r\n"), std::string::npos) << saved;
  EXPECT_FALSE(std::filesystem::exists(panel.SettingsPath()));  // nothing beside the program
  std::filesystem::remove_all(pattern);
}

// An installed console cannot write beside itself: run by an ordinary user, it
// keeps its settings in the user's configuration folder, made private to the
// user on the first save.
TEST(PanelSettingsLocation, InstalledConsoleUsesTheUsersConfigurationFolder) {
  char pattern[] = "/tmp/kdt-home-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string config = std::string(pattern) + "/config";
  std::filesystem::create_directory(config);
  const testsupport::OrdinaryUser user;
  user.Own(pattern);
  user.Own(config);
  {
    PanelProcess panel({"",
                        {{"QT_QPA_PLATFORM", "offscreen"},
                         {"XDG_CONFIG_HOME", config},
                         {"HOME", pattern},
                         {"XDG_RUNTIME_DIR", ""}},
                        {},
                        true});
    ASSERT_TRUE(WaitUntilCatching(panel.Pid(), SIGTERM)) << panel.Process().Errors();
    panel.Signal(SIGTERM);
    int status = 0;
    ASSERT_TRUE(panel.WaitForExit(kWaitMs, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << panel.Process().Errors();
    EXPECT_FALSE(std::filesystem::exists(panel.SettingsPath()));
  }
  const std::string saved = testsupport::FileText(config + "/kdt212-panel/kdt212-panel.ini");
  EXPECT_EQ(saved.rfind("[WINDOW]\r\nLEFT=", 0), 0u) << saved;
  struct stat st {};
  ASSERT_EQ(stat((config + "/kdt212-panel").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  std::filesystem::remove_all(pattern);
}

}  // namespace
