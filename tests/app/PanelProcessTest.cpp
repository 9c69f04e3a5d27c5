// The console as a whole program: ended by the system, it closes in order.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>

#include "PanelProcess.h"
#include "SimUnit.h"
#include "UnitFrames.h"

using testsupport::PanelProcess;

namespace {

constexpr int kWaitMs = 15000;  // a bound for what should take moments
const PanelProcess::Environment kOffscreen = {{"QT_QPA_PLATFORM", "offscreen"}};

// The tests may run at once, each with a unit on the console's port: each has
// an address of 127.0.1.0/24 of its own.
class PanelProcessTest : public ::testing::Test {
 protected:
  void StartUnit(int host) {
    address_ = "127.0.1." + std::to_string(host);
    sim::SimOptions options;
    options.address = address_;
    options.port = kdt::kUnitPort;
    options.recordFrames = true;
    unit_ = std::make_unique<sim::SimUnit>(options);
    std::string error;
    ASSERT_TRUE(unit_->Start(error)) << error;
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
  PanelProcess panel(Settings(), kOffscreen);
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
  PanelProcess panel(Settings(), kOffscreen);
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

}  // namespace
