// The console under a real window manager (Openbox, started by the test on
// the virtual display it runs on): what only a frame around the window shows.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "ChildProcess.h"
#include "PanelProcess.h"
#include "X11Properties.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
// A bound for what should take moments: a window to come up and be placed,
// on a machine that other work may slow down tenfold.
constexpr int kWaitMs = 60000;
const std::string kTitle = "VORNEX KDT-212 v1.1";

class WindowManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    ASSERT_NE(display, nullptr) << "run on a display (xvfb-run)";
    display_ = display;
    connection_ = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(connection_), 0);
    openbox_ =
        std::make_unique<ChildProcess>(KDT_OPENBOX_PATH, std::vector<std::string>{"--sm-disable"});
    ASSERT_TRUE(WaitFor([&] { return WindowManagerRuns(); })) << openbox_->Errors();
  }
  void TearDown() override {
    openbox_.reset();
    if (connection_ != nullptr) xcb_disconnect(connection_);
  }

  template <typename Pred>
  static bool WaitFor(Pred done) {
    const auto until = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!done()) {
      if (Clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  bool WindowManagerRuns() const {
    return !x11::Items(connection_, x11::Root(connection_), "_NET_SUPPORTING_WM_CHECK").empty();
  }

  // The client window of a process that the window manager manages and shows.
  xcb_window_t ShownWindowOf(pid_t pid) const {
    for (std::uint32_t window :
         x11::Items(connection_, x11::Root(connection_), "_NET_CLIENT_LIST")) {
      const auto owner = x11::Items(connection_, window, "_NET_WM_PID");
      if (owner.size() != 1 || owner[0] != std::uint32_t(pid) ||
          x11::Property(connection_, window, "_NET_WM_NAME") != kTitle) {
        continue;
      }
      auto* attributes = xcb_get_window_attributes_reply(
          connection_, xcb_get_window_attributes(connection_, window), nullptr);
      const bool viewable =
          attributes != nullptr && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
      free(attributes);
      if (viewable) return window;
    }
    return XCB_WINDOW_NONE;
  }

  // Where the window's client area stands on the screen.
  std::pair<int, int> ScreenPosition(xcb_window_t window) const {
    auto* reply = xcb_translate_coordinates_reply(
        connection_, xcb_translate_coordinates(connection_, window, x11::Root(connection_), 0, 0),
        nullptr);
    const std::pair<int, int> position = reply != nullptr
                                             ? std::pair<int, int>(reply->dst_x, reply->dst_y)
                                             : std::pair<int, int>(-1, -1);
    free(reply);
    return position;
  }

  std::string display_;
  xcb_connection_t* connection_ = nullptr;
  std::unique_ptr<ChildProcess> openbox_;
};

// Run after run, the window opens where the last run closed it: its position
// is saved and restored in the same sense, so the frame's size never creeps in.
TEST_F(WindowManagerTest, WindowOpensWhereItWasClosedRunAfterRun) {
  char pattern[] = "/tmp/kdt-wm-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string file = std::string(pattern) + "/unit.ini";
  std::ofstream(file, std::ios::binary)
      << "[WINDOW]\r\nLEFT=200\r\nTOP=150\r\n[NETWORK]\r\nADDR=127.0.1.130\r\nAUTO=0\r\n";
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    PanelProcess panel(
        {"", {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display_}}, {"--settings", file}});
    xcb_window_t window = XCB_WINDOW_NONE;
    ASSERT_TRUE(WaitFor([&] { return (window = ShownWindowOf(panel.Pid())) != XCB_WINDOW_NONE; }))
        << panel.Process().Errors();
    // The window manager places the frame after it maps the window: the
    // client area is where it was closed once the frame stands.
    std::pair<int, int> position;
    EXPECT_TRUE(WaitFor([&] {
      return (position = ScreenPosition(window)) == std::make_pair(200, 150);
    })) << "at " << position.first << "," << position.second;
    panel.Signal(SIGTERM);
    int status = 0;
    ASSERT_TRUE(panel.WaitForExit(kWaitMs, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << panel.Process().Errors();
    const std::string saved = FileText(file);
    EXPECT_NE(saved.find("[WINDOW]\r\nLEFT=200\r\nTOP=150\r\n"), std::string::npos) << saved;
  }
  fs::remove_all(pattern);
}

}  // namespace
