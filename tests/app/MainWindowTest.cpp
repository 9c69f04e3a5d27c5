#include <QAccessible>
#include <QMenuBar>
#include <QScreen>

#include "PanelCommands.h"
#include "PanelFixture.h"
#include "UnitProcIP.h"

using namespace testsupport;
using kdt::TFormMain;

namespace {

const std::string kAddress = "127.0.0.5";  // this binary's own unit address

std::vector<kdt::Frame> SetInputFrames(const sim::SimUnit& unit) {
  return FramesWithCode(unit, kdt::kCmdSetInput);
}

}  // namespace

class MainWindowTest : public PanelTest {
  Q_OBJECT

 public:
  MainWindowTest() : PanelTest(kAddress) {}

 private:
  static QString Accessible(QWidget* widget, QAccessible::Text text) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face != nullptr ? face->text(text) : QString("(no interface)");
  }

  // The top edge of the focus rectangle: dots in the text colour, two pixels
  // inside the face, where nothing else is ever drawn.
  static bool ShowsFocusIndicator(QWidget* button) {
    const QImage image = button->grab().toImage();
    int dots = 0;
    for (int x = 4; x < image.width() - 4; ++x) {
      dots += image.pixelColor(x, 2) == kdt::WindowTextColor();
    }
    return dots > image.width() / 4;
  }

  bool AllInputButtons(bool enabled) const {
    for (int r = 1; r <= 3; ++r) {
      if (window_->Btn1[r]->isEnabled() != enabled || window_->Btn2[r]->isEnabled() != enabled)
        return false;
    }
    return true;
  }

 private slots:
  void layoutFollowsTheDesign() {
    CreateWindow(LoopbackSettings(kAddress));
    QCOMPARE(window_->windowTitle(), QString("VORNEX KDT-212 v1.1"));
    QCOMPARE(window_->MMConn->text(), QString("&Connect"));
    QCOMPARE(window_->centralWidget()->size(), QSize(457, 81));
    QCOMPARE(window_->minimumSize(), window_->maximumSize());
    QVERIFY(!(window_->windowFlags() & Qt::WindowMaximizeButtonHint));
    const int lefts[] = {0, 304, 152, 0};
    for (int r = 1; r <= 3; ++r) {
      QCOMPARE(window_->RPan[r]->geometry(), QRect(lefts[r], 0, 153, 81));
      QCOMPARE(window_->PRCap[r]->Caption(), QString("RELAY ") + QChar('D' - r));
      QCOMPARE(window_->PRName[r]->geometry(), QRect(8, 53, 136, 20));
      QCOMPARE(window_->PRName[r]->Tag, r);
      QCOMPARE(window_->Btn1[r]->Tag, r);
      QCOMPARE(window_->Btn2[r]->geometry(), QRect(80, 26, 65, 20));
      QCOMPARE(window_->MMSyncItem[r]->data().toInt(), r);
      QVERIFY(window_->PRName[r]->font().bold());
    }
    QVERIFY(AllInputButtons(false));
    QVERIFY(window_->RNEdit->isHidden());
    QCOMPARE(window_->TimerCon->interval(), 1000);
    QVERIFY(window_->TimerCon->isActive());
    QVERIFY(!window_->windowIcon().pixmap(32, 32).isNull());  // the icon really loads
    // Sync menu top to bottom: RELAY A, B, C.
    const auto items = window_->MMSync->actions();
    QCOMPARE(items.size(), 3);
    QCOMPARE(items[0]->text(), QString("RELAY A"));
    QCOMPARE(items[2]->text(), QString("RELAY C"));
    QCOMPARE(window_->MMNet->actions().size(), 3);
    QVERIFY(window_->MMNet->actions()[1]->isSeparator());
    // Tab order: RELAY A's buttons, then B's, then C's, then the rename edit.
    QCOMPARE(NextTabStop(window_->Btn1[3]), static_cast<QWidget*>(window_->Btn2[3]));
    QCOMPARE(NextTabStop(window_->Btn2[3]), static_cast<QWidget*>(window_->Btn1[2]));
    QCOMPARE(NextTabStop(window_->Btn2[2]), static_cast<QWidget*>(window_->Btn1[1]));
    QCOMPARE(NextTabStop(window_->Btn2[1]), static_cast<QWidget*>(window_->RNEdit));
  }

  void connectAndDisconnectFromTheMenu() {
    CreateWindow(LoopbackSettings(kAddress));
    Connect();
    QVERIFY(AllInputButtons(true));
    WaitForName(1, "Main feed");
    QCOMPARE(window_->Btn1[1]->FaceColor(), kdt::kInput1Color);
    QCOMPARE(window_->Btn2[1]->FaceColor(), kdt::ButtonFaceColor());
    window_->MMConn->trigger();  // Disconnect
    QVERIFY(!window_->FSession->IsRunning());
    QVERIFY(QTest::qWaitFor([&] { return window_->MMConn->text() == "Connect"; }, kWaitMs));
    QVERIFY(AllInputButtons(false));
    for (int r = 1; r <= 3; ++r) {
      QVERIFY(window_->PRName[r]->Caption().isEmpty());
      QCOMPARE(window_->Btn1[r]->FaceColor(), kdt::ButtonFaceColor());
    }
    QCOMPARE(unit_->Frames().back().bytes, kdt::GoodbyeFrame());
  }

  void statusesPaintColoursNamesAndEnabledStates() {
    CreateWindow(LoopbackSettings(kAddress));
    Connect();
    unit_->SetState(1, 0x02);  // INPUT 2
    unit_->SetState(2, 0x41);  // INPUT 1, locked
    unit_->SetName(3, "<b>Foyer</b> & co");
    WaitForName(3, "<b>Foyer</b> & co");  // shown as it stands, never as markup
    // The colours themselves, as the design gives them: light green for
    // INPUT 1 (0x88FF88), light orange for INPUT 2 (red FF, green CC, blue 55).
    QCOMPARE(window_->Btn2[1]->FaceColor(), QColor("#FFCC55"));
    QCOMPARE(window_->Btn1[2]->FaceColor(), QColor("#88FF88"));
    QCOMPARE(window_->Btn1[1]->FaceColor(), kdt::ButtonFaceColor());
    QVERIFY(!window_->Btn1[2]->isEnabled() && !window_->Btn2[2]->isEnabled());
    QVERIFY(window_->Btn1[1]->isEnabled() && window_->Btn2[3]->isEnabled());

    // States 0 and 3 leave the colours as they were; bit 6 still decides.
    unit_->SetState(1, 0x40);
    unit_->SetState(2, 0x03);
    unit_->SetName(3, "next");
    WaitForName(3, "next");
    QCOMPARE(window_->Btn2[1]->FaceColor(), kdt::kInput2Color);
    QCOMPARE(window_->Btn1[2]->FaceColor(), kdt::kInput1Color);
    QVERIFY(!window_->Btn1[1]->isEnabled());
    QVERIFY(window_->Btn1[2]->isEnabled() && window_->Btn2[2]->isEnabled());

    // Back from INPUT 2 to INPUT 1: only INPUT 1 looks selected.
    unit_->SetState(1, 0x01);
    unit_->SetName(3, "back");
    WaitForName(3, "back");
    QCOMPARE(window_->Btn1[1]->FaceColor(), kdt::kInput1Color);
    QCOMPARE(window_->Btn2[1]->FaceColor(), kdt::ButtonFaceColor());
  }

  // A relay locked at INPUT 1 from the very first status is green all the
  // same: the lock bit does not hide the input.
  void relayLockedAtInput1FromTheStartIsShownGreen() {
    unit_->SetState(2, 0x41);
    CreateWindow(LoopbackSettings(kAddress));
    Connect();
    QCOMPARE(window_->Btn1[2]->FaceColor(), kdt::kInput1Color);
    QCOMPARE(window_->Btn2[2]->FaceColor(), kdt::ButtonFaceColor());
    QVERIFY(!window_->Btn1[2]->isEnabled() && !window_->Btn2[2]->isEnabled());
  }

  // Names typed in Cyrillic at the simulated unit's front panel reach the
  // console in the unit's code page and show as typed.
  void frontPanelNamesShowAsTyped() {
    CreateWindow(LoopbackSettings(kAddress));
    Connect();
    std::string reply;
    QVERIFY(sim::RunPanelCommand(*unit_, "name A Студия Ёжик №5", reply));
    QVERIFY(sim::RunPanelCommand(*unit_, "name C Эфир «А»", reply));
    WaitForName(3, QString::fromUtf8("Студия Ёжик №5"));
    WaitForName(1, QString::fromUtf8("Эфир «А»"));
  }

  // What the window shows by colour, a screen reader hears in words.
  void accessibleNamesAndStatesSayWhatTheColoursShow() {
    unit_->SetInput(2, 2);      // RELAY B on INPUT 2
    unit_->SetLocked(1, true);  // RELAY C locked, on INPUT 1
    CreateWindow(LoopbackSettings(kAddress));
    QCOMPARE(Accessible(window_->Btn1[3], QAccessible::Name), QString("RELAY A INPUT 1"));
    QCOMPARE(Accessible(window_->Btn1[3], QAccessible::Description), QString("not connected"));
    Connect();
    struct Expected {
      QWidget* widget;
      QString name;
      QString description;
    };
    const Expected expected[] = {
        {window_->Btn1[2], "RELAY B INPUT 1", "not selected"},
        {window_->Btn2[2], "RELAY B INPUT 2", "selected input"},
        {window_->Btn1[1], "RELAY C INPUT 1", "selected input, locked at the unit"},
        {window_->Btn2[1], "RELAY C INPUT 2", "not selected, locked at the unit"},
        {window_->Btn1[3], "RELAY A INPUT 1", "selected input"},
        {window_->PRName[2], "RELAY B name", "Backup feed"},
        {window_->PRCap[1], "RELAY C", ""},
        {window_->RPan[3], "RELAY A", ""},
    };
    for (const Expected& e : expected) {
      QCOMPARE(Accessible(e.widget, QAccessible::Name), e.name);
      QCOMPARE(Accessible(e.widget, QAccessible::Description), e.description);
    }
    QVERIFY(QAccessible::queryAccessibleInterface(window_->Btn1[1])->state().disabled);
    window_->MMSyncItem[1]->trigger();
    QCOMPARE(Accessible(window_->PRCap[1], QAccessible::Name), QString("RELAY C (SYNC)"));
    window_->MMConn->trigger();  // Disconnect
    QVERIFY(QTest::qWaitFor([&] { return window_->MMConn->text() == "Connect"; }, kWaitMs));
    QCOMPARE(Accessible(window_->Btn2[2], QAccessible::Description), QString("not connected"));
    QCOMPARE(Accessible(window_->PRName[2], QAccessible::Description), QString("not connected"));
  }

  // The keyboard's focus shows as a dotted rectangle inside the focused
  // button's face, whatever its colour; a click does not show it.
  void focusIndicatorShowsForTheKeyboardOnly() {
    unit_->SetInput(2, 2);  // RELAY B's INPUT 2 is orange
    CreateWindow(LoopbackSettings(kAddress));
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    Connect();
    window_->Btn1[2]->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(window_->Btn1[2], Qt::Key_Tab);  // on to RELAY B's INPUT 2
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window_->Btn2[2]));
    for (int r = 1; r <= 3; ++r) {
      for (kdt::TFlatButton* button : {window_->Btn1[r], window_->Btn2[r]}) {
        QCOMPARE(ShowsFocusIndicator(button), button == window_->Btn2[2]);
      }
    }
    QTest::mouseClick(window_->Btn1[3], Qt::LeftButton);  // the mouse takes the focus
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window_->Btn1[3]));
    QVERIFY(!ShowsFocusIndicator(window_->Btn1[3]));
    QVERIFY(!ShowsFocusIndicator(window_->Btn2[2]));
  }

  // The buttons wait for a status of a KDT-212; the caption does not, so that
  // the operator can disconnect from a unit of another kind.
  void statusOfAnotherModelIsIgnored() {
    unit_->SetModel(211);
    CreateWindow(LoopbackSettings(kAddress));
    window_->MMConn->trigger();
    QVERIFY(QTest::qWaitFor([&] { return window_->MMConn->text() == "Disconnect"; }, kWaitMs));
    WaitForPollsAfterNow();
    QVERIFY(AllInputButtons(false));
    QVERIFY(window_->PRName[1]->Caption().isEmpty());
    QCOMPARE(window_->Btn1[1]->FaceColor(), kdt::ButtonFaceColor());
    unit_->SetModel(212);
    QVERIFY(QTest::qWaitFor([&] { return AllInputButtons(true); }, kWaitMs));
  }

  // A unit whose model changes during a session: the buttons go as before the
  // first status, and the names and colours stay as the last KDT-212 status
  // left them.
  void modelChangingDuringASessionDisablesTheButtons() {
    unit_->SetInput(2, 2);
    CreateWindow(LoopbackSettings(kAddress));
    Connect();
    QVERIFY(AllInputButtons(true));
    unit_->SetModel(211);
    QVERIFY(QTest::qWaitFor([&] { return AllInputButtons(false); }, kWaitMs));
    WaitForPollsAfterNow();
    QVERIFY(AllInputButtons(false));
    QCOMPARE(window_->PRName[1]->Caption(), QString("Main feed"));
    QCOMPARE(window_->Btn2[2]->FaceColor(), kdt::kInput2Color);
    QCOMPARE(window_->MMConn->text(), QString("Disconnect"));
    unit_->SetModel(212);
    QVERIFY(QTest::qWaitFor([&] { return AllInputButtons(true); }, kWaitMs));
  }

  void syncSendsToEveryRelayInSync() {
    CreateWindow(LoopbackSettings(kAddress));
    Connect();
    window_->MMSyncItem[1]->trigger();  // relays 1 and 3 in sync
    window_->MMSyncItem[3]->trigger();
    QCOMPARE(window_->PRCap[1]->Caption(), QString("RELAY C (SYNC)"));
    QTest::mouseClick(window_->Btn2[3], Qt::LeftButton);  // INPUT 2 of RELAY A
    QTest::mouseClick(window_->Btn2[2], Qt::LeftButton);  // INPUT 2 of RELAY B, not in sync
    QVERIFY(QTest::qWaitFor([&] { return SetInputFrames(*unit_).size() == 4; }, kWaitMs));
    std::vector<kdt::Frame> expected = {kdt::SetInputFrame(2, 3), kdt::SetInputFrame(2, 1),
                                        kdt::SetInputFrame(2, 3), kdt::SetInputFrame(2, 2)};
    QVERIFY(SetInputFrames(*unit_) == expected);

    unit_->ClearFrames();
    window_->MMSyncItem[1]->trigger();  // now only relay 2 is in sync
    window_->MMSyncItem[3]->trigger();
    window_->MMSyncItem[2]->trigger();
    QTest::mouseClick(window_->Btn1[2], Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return SetInputFrames(*unit_).size() == 2; }, kWaitMs));
    WaitForPollsAfterNow();
    expected = {kdt::SetInputFrame(1, 2), kdt::SetInputFrame(1, 2)};
    QVERIFY(SetInputFrames(*unit_) == expected);
    // A click changes nothing on the window by itself; the unit's status does.
    QVERIFY(QTest::qWaitFor([&] { return window_->Btn2[1]->FaceColor() == kdt::kInput2Color; },
                            kWaitMs));
  }

  void droppedConnectionClearsTheWindow() {
    unit_->SetInput(1, 2);  // RELAY C on INPUT 2: its INPUT 2 button is orange
    CreateWindow(LoopbackSettings(kAddress));
    Connect();
    QCOMPARE(window_->Btn2[1]->FaceColor(), kdt::kInput2Color);
    unit_->SetFault(sim::Fault::kClose, 0);
    QVERIFY(QTest::qWaitFor([&] { return window_->MMConn->text() == "Connect"; }, kWaitMs));
    QVERIFY(AllInputButtons(false));
    QVERIFY(window_->PRName[2]->Caption().isEmpty());
    for (int r = 1; r <= 3; ++r) {
      QCOMPARE(window_->Btn1[r]->FaceColor(), kdt::ButtonFaceColor());
      QCOMPARE(window_->Btn2[r]->FaceColor(), kdt::ButtonFaceColor());
    }
  }

  void failedFirstExchangeStillShowsConnect() {
    unit_->SetFault(sim::Fault::kBadChecksum, 0);
    CreateWindow(LoopbackSettings(kAddress));
    window_->MMConn->trigger();
    QVERIFY(QTest::qWaitFor([&] { return window_->MMConn->text() == "Connect"; }, kWaitMs));
    QVERIFY(AllInputButtons(false));
  }

  void autoconnectComesBackAfterADisconnection() {
    CreateWindow(LoopbackSettings(kAddress, true));
    QVERIFY(window_->MMNetAuto->isChecked());
    QVERIFY(QTest::qWaitFor([&] { return window_->MMConn->text() == "Disconnect"; }, kWaitMs));
    window_->MMConn->trigger();  // the operator disconnects
    QVERIFY(!window_->FSession->IsRunning());
    QVERIFY(QTest::qWaitFor([&] { return window_->FSession->IsConnected(); },
                            3500));  // about two timer periods, with room for a busy machine
    QVERIFY(QTest::qWaitFor([&] { return unit_->ConnectionsAccepted() == 2; }, kWaitMs));
    unit_->SetFault(sim::Fault::kClose, 0);  // the unit drops the connection
    QVERIFY(QTest::qWaitFor([&] { return unit_->ConnectionsAccepted() >= 3; },
                            3500));  // about two timer periods, with room for a busy machine
    unit_->SetFault(sim::Fault::kNone, 0);
    QVERIFY(QTest::qWaitFor([&] { return window_->MMConn->text() == "Disconnect"; }, kWaitMs));
  }

  void settingsAreLoadedAtCreationAndSavedAtDestruction() {
    CreateWindow("[window]\r\nleft = 50\r\nTOP=60\r\n" + LoopbackSettings(kAddress) +
                 "[RELAY B]\r\nSYNC=1\r\n[EXTRA]\r\nKEY=1\r\n");
    QCOMPARE(window_->geometry().topLeft(), QPoint(50, 60));
    QCOMPARE(kdt::IPToStr(window_->FAddress), kAddress);
    QVERIFY(window_->MMSyncItem[2]->isChecked());
    QVERIFY(!window_->MMSyncItem[1]->isChecked());
    QCOMPARE(window_->PRCap[3]->Caption(), QString("RELAY A"));
    QCOMPARE(window_->PRCap[2]->Caption(), QString("RELAY B (SYNC)"));
    QCOMPARE(window_->PRCap[1]->Caption(), QString("RELAY C"));
    window_->MMSyncItem[1]->trigger();
    QCOMPARE(window_->PRCap[1]->Caption(), QString("RELAY C (SYNC)"));
    window_->MMNetAuto->setChecked(true);
    window_->setGeometry(QRect(QPoint(70, 80), window_->size()));  // the client area
    window_.reset();
    QCOMPARE(QString::fromStdString(ReadPanelSettings()),
             QString("[window]\r\nLEFT=70\r\nTOP=80\r\n\r\n"
                     "[NETWORK]\r\nADDR=127.0.0.5\r\nAUTO=1\r\n\r\n"
                     "[RELAY B]\r\nSYNC=1\r\n\r\n[EXTRA]\r\nKEY=1\r\n\r\n"
                     "[RELAY C]\r\nSYNC=1\r\n\r\n[RELAY A]\r\nSYNC=0\r\n\r\n"));
  }

  // A saved position that shows the window, even partly, is kept exactly; one
  // off every screen gives the designed position, which is saved back.
  void positionOffEveryScreenGivesTheDesignedPosition() {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint designed =
        QGuiApplication::primaryScreen()->geometry().topLeft() + QPoint(217, 179);
    struct Case {
      QPoint saved;
      QPoint opened;
    };
    const Case cases[] = {
        {{-5, 100}, {-5, 100}},
        {{screen.right() - 10, screen.bottom() - 10}, {screen.right() - 10, screen.bottom() - 10}},
        {{2147483647, 100}, designed},
        {{-2147483647 - 1, -2147483647 - 1}, designed},
        {{screen.right() + 1, 100}, designed},
        {{-1000, 100}, designed},
        {{100, screen.bottom() + 500}, designed},
    };
    for (const Case& c : cases) {
      CreateWindow("[WINDOW]\r\nLEFT=" + std::to_string(c.saved.x()) +
                   "\r\nTOP=" + std::to_string(c.saved.y()) + "\r\n" + LoopbackSettings(kAddress));
      QCOMPARE(window_->geometry().topLeft(), c.opened);
      window_.reset();
      const std::string saved = ReadPanelSettings();
      QVERIFY(saved.find("LEFT=" + std::to_string(c.opened.x()) +
                         "\r\nTOP=" + std::to_string(c.opened.y()) + "\r\n") != std::string::npos);
    }
  }

  // With Autoconnect on and the session idle, a failed save's message box
  // holds the window's end for longer than a timer period: no connection may
  // start meanwhile.
  void noConnectionStartsWhileTheWindowGoes() {
    CreateWindow(LoopbackSettings(kAddress, true));
    std::filesystem::remove_all(PanelSettingsPath());
    std::filesystem::create_directory(PanelSettingsPath());  // the save fails
    MessageBoxCatcher catcher(2500);
    window_.reset();  // before the first timer period
    std::filesystem::remove_all(PanelSettingsPath());
    QCOMPARE(catcher.texts.size(), 1);
    QCOMPARE(unit_->ConnectionsAccepted(), 0);
  }

  void unreadableSettingsShowAMessageAndTheDesignedWindow() {
    std::filesystem::remove_all(PanelSettingsPath());
    std::filesystem::create_directory(PanelSettingsPath());  // cannot be read, even by root
    MessageBoxCatcher catcher;
    window_ = std::make_unique<TFormMain>();
    const QString path = QString::fromStdString(PanelSettingsPath());
    QCOMPARE(catcher.texts,
             QStringList{"VORNEX KDT-212|Cannot open file \"" + path + "\". Is a directory"});
    QCOMPARE(catcher.icons.front(), QMessageBox::Critical);
    QCOMPARE(window_->geometry().topLeft(), QPoint(217, 179));
    QCOMPARE(window_->FAddress, 0u);
    QVERIFY(!window_->MMNetAuto->isChecked());
    window_.reset();  // the save fails the same way, and the program goes on
    QCOMPARE(catcher.texts.size(), 2);
    std::filesystem::remove_all(PanelSettingsPath());
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
