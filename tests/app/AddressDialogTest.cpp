#include <functional>

#include "PanelFixture.h"
#include "UnitAddr.h"
#include "UnitProcIP.h"

using namespace testsupport;
using kdt::FormAddr;
using kdt::TFormAddr;
using kdt::TFormMain;

namespace {

const std::string kAddress = "127.1.2.7";  // this binary's own loopback address
// A comment line: every save drops it, so its presence shows the file untouched.
const std::string kMarker = ";untouched\r\n";

}  // namespace

class AddressDialogTest : public PanelTest {
  Q_OBJECT

 public:
  AddressDialogTest() : PanelTest(kAddress) {}

 private:
  // Opens the dialog from the menu and plays `act` on it while it is open.
  void RunDialog(const std::function<void(TFormAddr*)>& act) {
    bool acted = false;
    QTimer::singleShot(0, this, [&] {
      QVERIFY(FormAddr != nullptr);
      // The off-screen platform has no window manager to hand the focus over.
      QApplication::setActiveWindow(FormAddr);
      QVERIFY(QTest::qWaitFor([] { return QApplication::activeWindow() == FormAddr; }));
      act(FormAddr);
      acted = true;
      if (FormAddr->isVisible()) FormAddr->done(0);  // never leave a test hanging
    });
    window_->MMAddr->trigger();
    QVERIFY(acted);
    QVERIFY(FormAddr == nullptr);
  }

  bool FileUntouched() const { return ReadPanelSettings().find(kMarker) != std::string::npos; }
  std::string Address() const { return kdt::IPToStr(window_->FAddress); }

  static void Retype(kdt::TNumEdit* edit, const char* text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
  }

 private slots:
  void init() {
    PanelTest::init();
    CreateWindow(kMarker + LoopbackSettings(kAddress));
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
  }

  void dialogShowsTheAddressAndOpensOnCancel() {
    window_->FAddress = kdt::StrToIP("192.168.0.200");  // shown only; nothing connects
    RunDialog([](TFormAddr* dialog) {
      QCOMPARE(dialog->windowTitle(), QString("IP address:"));
      QCOMPARE(dialog->size(), QSize(193, 73));
      QCOMPARE(dialog->E1->text(), QString("192"));
      QCOMPARE(dialog->E2->text(), QString("168"));
      QCOMPARE(dialog->E3->text(), QString("0"));
      QCOMPARE(dialog->E4->text(), QString("200"));
      QCOMPARE(dialog->StaticText[0]->text(), QString(":"));
      QVERIFY(!(dialog->windowFlags() & Qt::WindowCloseButtonHint));
      QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(dialog->CancelButton));
      QCOMPARE(NextTabStop(dialog->CancelButton), static_cast<QWidget*>(dialog->E1));
      QCOMPARE(NextTabStop(dialog->E2), static_cast<QWidget*>(dialog->E3));
      QCOMPARE(NextTabStop(dialog->E4), static_cast<QWidget*>(dialog->OkButton));
      QCOMPARE(NextTabStop(dialog->OkButton), static_cast<QWidget*>(dialog->CancelButton));
      QTest::keyClick(dialog->CancelButton, Qt::Key_Escape);
    });
    window_->FAddress = kdt::StrToIP(kAddress);
  }

  void cancelEscapeAndEnterOnCancelChangeNothing() {
    const std::vector<std::function<void(TFormAddr*)>> ways = {
        [](TFormAddr* d) { QTest::mouseClick(d->CancelButton, Qt::LeftButton); },
        [](TFormAddr* d) {
          Retype(d->E2, "99");
          QTest::keyClick(d->E2, Qt::Key_Escape);
        },
        [](TFormAddr* d) { QTest::keyClick(d->CancelButton, Qt::Key_Return); },
    };
    for (const auto& way : ways) {
      RunDialog(way);
      QCOMPARE(Address(), kAddress);
      QVERIFY(FileUntouched());
    }
  }

  void enterInAnEditConfirmsAndSaves() {
    RunDialog([](TFormAddr* d) {
      Retype(d->E4, "201");
      QTest::keyClick(d->E4, Qt::Key_Return);
    });
    QCOMPARE(Address(), std::string("127.1.2.201"));
    QVERIFY(!FileUntouched());
    QVERIFY(ReadPanelSettings().find("ADDR=127.1.2.201\r\n") != std::string::npos);
  }

  void clearedEditReadsZero() {
    RunDialog([](TFormAddr* d) {
      Retype(d->E3, "");
      QTest::mouseClick(d->OkButton, Qt::LeftButton);
      QCOMPARE(d->E3->text(), QString());  // a blank edit stays blank
    });
    QCOMPARE(Address(), std::string("127.1.0.7"));
  }

  void outOfRangeIsClampedWhenTheEditLosesTheFocus() {
    RunDialog([](TFormAddr* d) {
      Retype(d->E2, "300");
      QTest::mouseClick(d->OkButton, Qt::LeftButton);
      QCOMPARE(d->E2->text(), QString("255"));
    });
    QCOMPARE(Address(), std::string("127.255.2.7"));
  }

  // Enter confirms as OK does: the range check applies first, also to digits
  // that overflow an integer.
  void outOfRangeConfirmedWithEnterIsClampedAsWithOk() {
    for (const char* typed : {"300", "99999999999999999999"}) {
      for (bool enter : {true, false}) {
        RunDialog([&](TFormAddr* d) {
          Retype(d->E2, typed);
          if (enter) {
            QTest::keyClick(d->E2, Qt::Key_Enter);
          } else {
            QTest::mouseClick(d->OkButton, Qt::LeftButton);
          }
        });
        QVERIFY2(Address() == "127.255.2.7", typed);
        window_->FAddress = kdt::StrToIP(kAddress);
      }
    }
  }

  void okWithNothingChangedStillSaves() {
    RunDialog([](TFormAddr* d) { QTest::keyClick(d->OkButton, Qt::Key_Return); });
    QCOMPARE(Address(), kAddress);
    QVERIFY(!FileUntouched());
  }

  void shiftEnterOnAButtonActsAsEnter() {
    RunDialog([](TFormAddr* d) {
      Retype(d->E1, "10");
      d->CancelButton->setFocus();
      QTest::keyClick(d->CancelButton, Qt::Key_Return, Qt::ShiftModifier);
    });
    QCOMPARE(Address(), std::string("10.1.2.7"));
  }

  void numericEditTakesOnlyWhatANumberNeeds() {
    RunDialog([](TFormAddr* d) {
      Retype(d->E1, "a1b2");
      QCOMPARE(d->E1->text(), QString("12"));
      Retype(d->E1, "(5)");
      QCOMPARE(d->E1->Value(), -5);
      QTest::keyClick(d->E1, Qt::Key_Tab);  // the range check puts it back to 0
      QCOMPARE(d->E1->text(), QString("0"));
      d->E1->SetValue(-1234);
      QCOMPARE(d->E1->text(), QString("(1,234)"));
      QTest::keyClick(d->E1, Qt::Key_Escape);
    });
  }
};

QTEST_MAIN(AddressDialogTest)
#include "AddressDialogTest.moc"
