// What the window tests share: the simulated unit on a loopback address of
// the test binary's own, the binary's settings file, and helpers to wait for
// the window and to answer its message boxes.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <memory>

#include "RecordingUnit.h"
#include "Settings.h"
#include "SettingsLocation.h"
#include "SimUnit.h"
#include "UnitMain.h"
#include "UnitThread.h"

namespace testsupport {

constexpr int kWaitMs = 10000;  // a bound for what should take moments

// The settings file of this test binary: the window reads it at creation.
inline std::string PanelSettingsPath() {
  return kdt::SettingsPathFor(QCoreApplication::applicationFilePath().toStdString());
}

inline void WritePanelSettings(const std::string& text) {
  std::filesystem::remove_all(PanelSettingsPath());
  std::ofstream(PanelSettingsPath(), std::ios::binary) << text;
}

inline std::string ReadPanelSettings() {
  std::ifstream in(PanelSettingsPath(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Settings that point the console at the unit on `address`. Every test
// writes these before it creates a window, so that no window ever tries the
// default address, which belongs to a real network.
inline std::string LoopbackSettings(const std::string& address, bool autoConnect = false,
                                    const std::string& extra = "") {
  return "[NETWORK]\r\nADDR=" + address + "\r\nAUTO=" + (autoConnect ? "1" : "0") + "\r\n" + extra;
}

// Waits until the unit has received `count` more polls than it has now, then
// handles what the window thread was sent meanwhile. The worker sends a
// queued command instead of the next poll and posts a status before it sends
// again, so by then every command queued before has reached the unit and
// every status posted before has been delivered.
inline bool WaitForPolls(const sim::SimUnit& unit, std::size_t count) {
  const std::size_t target = FramesWithCode(unit, kdt::kCmdPoll).size() + count;
  const bool seen = QTest::qWaitFor(
      [&] { return FramesWithCode(unit, kdt::kCmdPoll).size() >= target; }, kWaitMs);
  QCoreApplication::processEvents();
  return seen;
}

// Waits until the window shows `name` for the relay.
inline bool WaitForName(const kdt::TFormMain& window, int relay, const QString& name) {
  return QTest::qWaitFor([&] { return window.PRName[relay]->Caption() == name; }, kWaitMs);
}

// The widget that Tab moves the focus to from `widget`.
inline QWidget* NextTabStop(QWidget* widget) {
  do {
    widget = widget->nextInFocusChain();
  } while ((widget->focusPolicy() & Qt::TabFocus) == 0);
  return widget;
}

// Answers message boxes, keeping their texts: each box is answered once it
// has been open for `holdMs`.
class MessageBoxCatcher : public QObject {
 public:
  explicit MessageBoxCatcher(int holdMs = 0) {
    connect(&timer_, &QTimer::timeout, this, [this, holdMs] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box == nullptr || !box->isVisible()) continue;
        if (!opened_.contains(box)) opened_[box].start();
        if (opened_[box].elapsed() < holdMs) continue;
        texts.push_back(box->windowTitle() + "|" + box->text());
        icons.push_back(box->icon());
        opened_.remove(box);
        box->accept();
      }
    });
    timer_.start(20);
  }
  QStringList texts;
  QList<QMessageBox::Icon> icons;

 private:
  QTimer timer_;
  QHash<QMessageBox*, QElapsedTimer> opened_;
};

// A unit on `address`:`port` (the console's 10001 unless told) that records
// the frames it receives.
inline std::unique_ptr<sim::SimUnit> StartUnitOn(const std::string& address,
                                                 sim::SimOptions options = {},
                                                 std::uint16_t port = kdt::kUnitPort) {
  options.address = address;
  options.port = port;
  std::string error;
  auto unit = StartRecordingUnit(options, error);
  if (!unit) qFatal("cannot start the simulated unit: %s", error.c_str());
  return unit;
}

// What the window test programs share: the session module for the whole
// program and, for each test, a simulated unit on the program's own loopback
// address (recording frames) and the window under test. The unit listens on
// the console's port, unless a program that puts something between them
// gives another (0: the kernel picks).
class PanelTest : public QObject {
  Q_OBJECT

 public:
  explicit PanelTest(std::string address, std::uint16_t unitPort = kdt::kUnitPort)
      : address_(std::move(address)), unitPort_(unitPort) {}

 protected:
  // Writes the settings and shows a window made from them.
  void CreateWindow(const std::string& settings) {
    WritePanelSettings(settings);
    window_ = std::make_unique<kdt::TFormMain>();
    window_->show();
  }

  // Connects through the Connect item and waits for the first status shown.
  void Connect() {
    window_->MMConn->trigger();
    QVERIFY(QTest::qWaitFor([&] { return window_->MMConn->text() == "Disconnect"; }, kWaitMs));
    QVERIFY(QTest::qWaitFor([&] { return !window_->PRName[1]->Caption().isEmpty(); }, kWaitMs));
  }

  // A window pointed at this program's unit, active and connected.
  void ConnectWindow() {
    CreateWindow(LoopbackSettings(address_));
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    Connect();
  }

  void WaitForName(int relay, const QString& name) {
    QVERIFY2(testsupport::WaitForName(*window_, relay, name),
             qPrintable(window_->PRName[relay]->Caption()));
  }

  // Commands and statuses ride on the exchanges: once the unit has seen two
  // more polls, everything queued before has gone out and every status
  // posted before has been handled.
  void WaitForPollsAfterNow() { QVERIFY(WaitForPolls(*unit_, 2)); }

  const std::string address_;
  const std::uint16_t unitPort_;
  std::unique_ptr<sim::SimUnit> unit_;
  std::unique_ptr<kdt::TFormMain> window_;

 protected slots:
  void initTestCase() { kdt::UnitThreadStartup(); }
  void cleanupTestCase() { kdt::UnitThreadShutdown(); }
  void init() { unit_ = StartUnitOn(address_, {}, unitPort_); }
  void cleanup() {
    window_.reset();
    unit_.reset();
  }
};

}  // namespace testsupport
