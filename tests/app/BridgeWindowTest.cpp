// The console through the bridge: a relay that someone protects at the
// bridge is shown locked, its buttons disabled as for a lock at the unit,
// and enabled again once it is released. The real kdt212-bridge between
// the simulated unit and the window, its page's interface on loopback.
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "ChildProcess.h"
#include "HttpPeer.h"
#include "Loopback.h"
#include "PanelFixture.h"

using namespace testsupport;

class BridgeWindowTest : public PanelTest {
  Q_OBJECT

 public:
  // The unit on a port the kernel picks: only the bridge's shared endpoint
  // must be on the console's port.
  BridgeWindowTest() : PanelTest(kLoopback, 0) {}

 private:
  // The bridge sharing this binary's unit on `address`:10001, with its
  // page's interface on `webPort`.
  std::unique_ptr<ChildProcess> StartBridge(const std::string& folder, const std::string& address,
                                            int webPort) {
    const std::string config = folder + "/bridge.ini";
    std::ofstream(config) << "[UNIT studio]\nADDR=" << kLoopback << "\nPORT=" << unit_->Port()
                          << "\nLISTEN=" << address << ":" << kdt::kUnitPort
                          << "\n[HTTP]\nLISTEN=127.0.0.1:" << webPort << "\n";
    return std::make_unique<ChildProcess>(
        KDT_BRIDGE_PATH, std::vector<std::string>{"--config", config, "--verbose"});
  }

  // Sharing, and connected to the unit: until then it refuses the console
  // as a unit that is down would. An address taken meanwhile is in its log.
  static bool Serving(ChildProcess& bridge) {
    return bridge.WaitForErrors("studio: shared on", kWaitMs) &&
           bridge.WaitForErrors("studio: connected to", kWaitMs);
  }

  static int Protect(int webPort, bool on) {
    HttpPeer page(webPort);
    return page
        .Exchange(HttpRequestText("POST", "/api/units/studio/relays/a/protect",
                                  {"Content-Type: application/json"},
                                  on ? "{\"on\":true}" : "{\"on\":false}"))
        .status;
  }

  bool RelayAEnabled(bool enabled) {
    return QTest::qWaitFor(
        [&] {
          return window_->Btn1[3]->isEnabled() == enabled &&
                 window_->Btn2[3]->isEnabled() == enabled;
        },
        kWaitMs);
  }

 private slots:
  void aProtectedRelayLooksLockedAndItsCommandsGoNowhere() {
    char pattern[] = "/tmp/kdt-console-bridge-XXXXXX";
    QVERIFY(mkdtemp(pattern) != nullptr);
    const int webPort = FreeLoopbackPort();
    const std::string bridgeAddress = FreeLoopbackAddressFor(kdt::kUnitPort);
    auto bridge = StartBridge(pattern, bridgeAddress, webPort);
    QVERIFY2(Serving(*bridge), bridge->Errors().c_str());
    CreateWindow(LoopbackSettings(bridgeAddress));
    Connect();
    QVERIFY(RelayAEnabled(true));

    QCOMPARE(Protect(webPort, true), 200);
    QVERIFY(RelayAEnabled(false));
    QVERIFY(window_->Btn1[2]->isEnabled());  // the others are not held
    QTest::mouseClick(window_->Btn2[3], Qt::LeftButton);
    WaitForPollsAfterNow();
    QVERIFY(FramesWithCode(*unit_, kdt::kCmdSetInput).empty());

    QCOMPARE(Protect(webPort, false), 200);
    QVERIFY(RelayAEnabled(true));
    QTest::mouseClick(window_->Btn2[3], Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return !FramesWithCode(*unit_, kdt::kCmdSetInput).empty(); },
                            kWaitMs));
    window_.reset();
    bridge->Signal(SIGTERM);
    int status = 0;
    QVERIFY(bridge->WaitForExit(kWaitMs, status));
    std::filesystem::remove_all(pattern);
  }
};

QTEST_MAIN(BridgeWindowTest)
#include "BridgeWindowTest.moc"
