#include <QClipboard>

#include "Cp1251.h"
#include "PanelFixture.h"

using namespace testsupport;
using kdt::TFormMain;

namespace {

const std::string kAddress = "127.0.0.6";  // this binary's own unit address

std::vector<kdt::Frame> SetNameFrames(const sim::SimUnit& unit) {
  return FramesWithCode(unit, kdt::kCmdSetName);
}

// Types text as key presses, one character each, whatever its script.
void Type(QWidget* widget, const QString& text) {
  for (QChar c : text)
    QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_A, QString(c), Qt::NoModifier);
}

}  // namespace

class RenameTest : public PanelTest {
  Q_OBJECT

 public:
  RenameTest() : PanelTest(kAddress) {}

 private:
  void OpenRename(int relay) {
    QTest::mouseDClick(window_->PRName[relay], Qt::LeftButton);
    QVERIFY(window_->RNEdit->isVisible());
    QCOMPARE(window_->RNEdit->Tag, relay);
  }

  // Anything the window queued has gone out once the unit has seen two more
  // polls: no name went out.
  void ExpectNoNameSent() {
    WaitForPollsAfterNow();
    QVERIFY(SetNameFrames(*unit_).empty());
  }

 private slots:
  void enterSendsTheStrippedNameForTheRelayBeingRenamed() {
    ConnectWindow();
    OpenRename(2);
    QCOMPARE(window_->RNEdit->parentWidget(), static_cast<QWidget*>(window_->RPan[2]));
    QCOMPARE(window_->RNEdit->geometry(), window_->PRName[2]->geometry());
    QCOMPARE(window_->RNEdit->text(), QString("Backup feed"));
    QVERIFY(window_->RNEdit->hasFocus());
    QVERIFY(window_->RNEdit->font().bold());
    window_->RNEdit->setText(" \t Studio 2  ");
    QTest::keyClick(window_->RNEdit, Qt::Key_Return);
    QVERIFY(window_->RNEdit->isHidden());
    QCOMPARE(window_->RNEdit->parentWidget(), window_->centralWidget());
    QCOMPARE(window_->PRName[2]->Caption(), QString("Backup feed"));  // until the unit says so
    QVERIFY(QTest::qWaitFor([&] { return SetNameFrames(*unit_).size() == 1; }, kWaitMs));
    QVERIFY(SetNameFrames(*unit_).front() == kdt::SetNameFrame(2, "Studio 2"));
    WaitForName(2, "Studio 2");
  }

  void blankEditSendsAnEmptyName() {
    ConnectWindow();
    OpenRename(3);
    window_->RNEdit->setText("   ");
    QTest::keyClick(window_->RNEdit, Qt::Key_Enter);
    QVERIFY(QTest::qWaitFor([&] { return SetNameFrames(*unit_).size() == 1; }, kWaitMs));
    QVERIFY(SetNameFrames(*unit_).front() == kdt::SetNameFrame(3, ""));
  }

  void escapeClosesWithoutSending() {
    ConnectWindow();
    OpenRename(1);
    QTest::keyClicks(window_->RNEdit, "x");
    QTest::keyClick(window_->RNEdit, Qt::Key_Escape);
    QVERIFY(window_->RNEdit->isHidden());
    QVERIFY(window_->RNEdit->text().isEmpty());
    QCOMPARE(window_->PRName[1]->Caption(), QString("Main feed"));
    ExpectNoNameSent();
  }

  void pressOnACaptionEndsTheRenameWithoutSending() {
    ConnectWindow();
    OpenRename(1);
    QTest::mousePress(window_->PRCap[1], Qt::LeftButton);
    QVERIFY(window_->RNEdit->isHidden());
    ExpectNoNameSent();
  }

  void doubleClickWhileDisconnectedDoesNothing() {
    CreateWindow(LoopbackSettings(kAddress));
    QTest::mouseDClick(window_->PRName[2], Qt::LeftButton);
    QVERIFY(window_->RNEdit->isHidden());
  }

  void doubleClickOnAnotherNameMovesTheRename() {
    ConnectWindow();
    OpenRename(1);
    QTest::keyClicks(window_->RNEdit, " changed");
    OpenRename(3);
    QCOMPARE(window_->RNEdit->text(), QString("Monitor"));
    QCOMPARE(window_->RNEdit->parentWidget(), static_cast<QWidget*>(window_->RPan[3]));
    ExpectNoNameSent();
  }

  void statusDuringARenameLeavesTheEditAlone() {
    ConnectWindow();
    OpenRename(2);
    QTest::keyClicks(window_->RNEdit, "!");
    unit_->SetName(2, "From the front panel");
    WaitForName(2, "From the front panel");
    QCOMPARE(window_->RNEdit->text(), QString("Backup feed!"));
    QVERIFY(window_->RNEdit->isVisible());
  }

  void losingTheConnectionClosesTheRename() {
    ConnectWindow();
    OpenRename(2);
    unit_->SetFault(sim::Fault::kClose, 0);
    QVERIFY(QTest::qWaitFor([&] { return window_->RNEdit->isHidden(); }, kWaitMs));
    QVERIFY(window_->PRName[2]->Caption().isEmpty());
  }

  // Any key, Enter or a character, once the session has ended: the rename
  // closes, nothing is sent, and the key is not left in the idle edit.
  void keyAfterTheSessionEndedClosesWithoutSending() {
    ConnectWindow();
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_X}) {
      if (!window_->FSession->IsRunning()) {
        window_->MMConn->trigger();
        QVERIFY(QTest::qWaitFor([&] { return window_->FSession->IsConnected(); }, kWaitMs));
      }
      OpenRename(2);
      window_->FSession->Stop();  // its ended event is not handled yet
      QTest::keyClick(window_->RNEdit, key);
      QVERIFY(window_->RNEdit->isHidden());
      QCOMPARE(window_->RNEdit->text(), QString());
      QVERIFY(SetNameFrames(*unit_).empty());
      QCoreApplication::processEvents();  // the ended event
    }
  }

  // The edit only takes what the code page carries; text that got in all the
  // same ends the rename without sending, never as an empty name.
  void unencodableTextIsNotSentAsAnEmptyName() {
    ConnectWindow();
    OpenRename(1);
    window_->RNEdit->setText(QString::fromUtf8("Studio \u4E2D"));  // setText skips the validator
    QTest::keyClick(window_->RNEdit, Qt::Key_Return);
    QVERIFY(window_->RNEdit->isHidden());
    ExpectNoNameSent();
  }

  void typingStopsAt24CharactersOfTheCodePage() {
    ConnectWindow();
    OpenRename(1);
    window_->RNEdit->clear();
    QTest::keyClicks(window_->RNEdit, "abcdefghijklmnopqrstuvwxyz0123");
    QCOMPARE(window_->RNEdit->text(), QString("abcdefghijklmnopqrstuvwx"));
    window_->RNEdit->clear();
    Type(window_->RNEdit, QString::fromUtf8("Зал\u4E2D€"));  // no byte for 中
    QCOMPARE(window_->RNEdit->text(), QString::fromUtf8("Зал€"));
    QApplication::clipboard()->setText(QString::fromUtf8("x\u4E2D"));
    window_->RNEdit->paste();
    QApplication::clipboard()->setText(QString(30, 'p'));
    window_->RNEdit->paste();
    QCOMPARE(window_->RNEdit->text(), QString::fromUtf8("Зал€") + QString(20, 'p'));
    QTest::keyClick(window_->RNEdit, Qt::Key_Return);
    QVERIFY(QTest::qWaitFor([&] { return SetNameFrames(*unit_).size() == 1; }, kWaitMs));
    QVERIFY(SetNameFrames(*unit_).front() ==
            kdt::SetNameFrame(1, "\xC7\xE0\xEB\x88" + std::string(20, 'p')));
  }

  // Control characters are not typed or pasted into a name (a hub's or a
  // script's rename refuses them too); one that the unit reports stays, so
  // that the name can be edited and goes back byte for byte.
  void controlCharactersAreNotTakenButAReportedOneStays() {
    const std::string name =
        "AB\x01"
        "CD";
    unit_->SetName(2, name);
    ConnectWindow();
    WaitForName(2, kdt::DecodeCp1251(name));
    OpenRename(1);
    window_->RNEdit->clear();
    for (const QString& pasted : {QString("a\x02"
                                          "b"),
                                  QString("a\x7F"), QString(QChar(0x98))}) {
      QApplication::clipboard()->setText(pasted);
      window_->RNEdit->paste();
      QCOMPARE(window_->RNEdit->text(), QString());
    }
    QTest::keyClick(window_->RNEdit, Qt::Key_Escape);
    OpenRename(2);
    QTest::keyClick(window_->RNEdit, Qt::Key_End);
    QTest::keyClicks(window_->RNEdit, "E");
    QApplication::clipboard()->setText(QString("\x02"));
    window_->RNEdit->paste();
    QCOMPARE(window_->RNEdit->text(), kdt::DecodeCp1251(name + "E"));
    QTest::keyClick(window_->RNEdit, Qt::Key_Return);
    QVERIFY(QTest::qWaitFor([&] { return SetNameFrames(*unit_).size() == 1; }, kWaitMs));
    QVERIFY(SetNameFrames(*unit_).front() == kdt::SetNameFrame(2, name + "E"));
  }

  void a25CharacterNameGoesBackAsItsFirst24() {
    const std::string name = "ABCDEFGHIJKLMNOPQRSTUVWXY";  // the unit's field is full
    unit_->SetName(3, name);
    ConnectWindow();
    WaitForName(3, QString::fromStdString(name));
    OpenRename(3);
    QCOMPARE(window_->RNEdit->text(), QString::fromStdString(name));  // whole, past the limit
    QTest::keyClick(window_->RNEdit, Qt::Key_Return);
    QVERIFY(QTest::qWaitFor([&] { return SetNameFrames(*unit_).size() == 1; }, kWaitMs));
    QVERIFY(SetNameFrames(*unit_).front() == kdt::SetNameFrame(3, name.substr(0, 24)));
  }

  void nonAsciiNamesRoundTripByteForByte() {
    const std::string name = "\xC0\xE1\xE2 \xA8\x98\x80\xFF\x01";
    unit_->SetName(2, name);
    ConnectWindow();
    WaitForName(2, kdt::DecodeCp1251(name));
    QVERIFY(window_->PRName[2]->Caption().startsWith(QString::fromUtf8("Абв Ё")));
    OpenRename(2);
    QTest::keyClick(window_->RNEdit, Qt::Key_Return);
    QVERIFY(QTest::qWaitFor([&] { return SetNameFrames(*unit_).size() == 1; }, kWaitMs));
    // The trailing control character is stripped like a blank; the rest is exact.
    QVERIFY(SetNameFrames(*unit_).front() == kdt::SetNameFrame(2, name.substr(0, name.size() - 1)));
  }
};

QTEST_MAIN(RenameTest)
#include "RenameTest.moc"
