// Writes pictures of the console in its states, for review: the window runs
// in-process against a simulated unit on a loopback address.
// Usage: panel_screenshots OUTPUT-FOLDER
#include <QDir>
#include <QTest>
#include <cstdio>

#include "PanelFixture.h"
#include "UnitAddr.h"

using namespace testsupport;

namespace {

const std::string kAddress = "127.0.0.9";

bool Wait(const std::function<bool()>& done) {
  return QTest::qWaitFor(done, kWaitMs);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: panel_screenshots OUTPUT-FOLDER\n");
    return 2;
  }
  const QDir out(argv[1]);
  QDir().mkpath(out.path());
  kdt::RegisterFonts();
  kdt::UnitThreadStartup();
  int failures = 0;
  {
    auto unit = StartUnitOn(kAddress);
    WritePanelSettings(LoopbackSettings(kAddress));
    kdt::TFormMain window;
    window.show();
    auto shoot = [&](const char* name, bool reached) {
      const QString file = out.filePath(QString(name) + ".png");
      if (!reached || !window.grab().save(file)) {
        std::fprintf(stderr, "%s: state not reached or not saved\n", name);
        ++failures;
        return;
      }
      std::printf("%s\n", qPrintable(file));
    };
    QTest::qWait(100);
    shoot("1-idle", true);

    unit->SetInput(2, 2);
    window.MMConn->trigger();
    shoot("2-connected", Wait([&] { return window.Btn2[2]->FaceColor() == kdt::kInput2Color; }));

    unit->SetLocked(1, true);
    shoot("3-relay-c-locked", Wait([&] { return !window.Btn1[1]->isEnabled(); }));

    unit->SetLocked(1, false);
    window.MMSyncItem[2]->trigger();
    shoot("4-relay-b-in-sync", Wait([&] { return window.Btn1[1]->isEnabled(); }));

    window.activateWindow();
    QTest::mouseDClick(window.PRName[3], Qt::LeftButton);
    QTest::keyClicks(window.RNEdit, " 2");
    shoot("5-renaming-relay-a", window.RNEdit->isVisible());
    QTest::keyClick(window.RNEdit, Qt::Key_Escape);

    // The dialog is modal: it is drawn from inside its own event loop.
    QTimer::singleShot(200, [&] {
      const QString file = out.filePath("6-address-dialog.png");
      if (kdt::FormAddr == nullptr || !kdt::FormAddr->grab().save(file)) {
        std::fprintf(stderr, "6-address-dialog: not drawn\n");
        ++failures;
      } else {
        std::printf("%s\n", qPrintable(file));
      }
      if (kdt::FormAddr != nullptr) kdt::FormAddr->done(kdt::TFormAddr::kModalCancel);
    });
    window.MMAddr->trigger();

    window.activateWindow();
    const bool active = QTest::qWaitForWindowActive(&window);
    window.Btn1[2]->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(window.Btn1[2], Qt::Key_Tab);
    shoot("7-keyboard-focus-on-relay-b-input-2", active && window.Btn2[2]->hasFocus());

    window.MMConn->trigger();
    shoot("8-disconnected", Wait([&] { return window.MMConn->text() == "Connect"; }));
  }
  kdt::UnitThreadShutdown();
  return failures == 0 ? 0 : 1;
}
