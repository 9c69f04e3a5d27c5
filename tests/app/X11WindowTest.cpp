// What the window manager is told about the console's windows, read back
// from a real X server: only the xcb platform shows it. Run under Xvfb with
// QT_QPA_PLATFORM=xcb; no window manager is needed.
#include <xcb/xcb.h>

#include <QGuiApplication>

#include "PanelFixture.h"
#include "PanelProcess.h"
#include "UnitAddr.h"

using namespace testsupport;
using kdt::TFormMain;

namespace {

const std::string kAddress = "127.0.0.10";  // this binary's own unit address

xcb_connection_t* Connection() {
  return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

xcb_atom_t Atom(const char* name) {
  auto cookie = xcb_intern_atom(Connection(), 0, static_cast<std::uint16_t>(strlen(name)), name);
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(Connection(), cookie, nullptr);
  const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  free(reply);
  return atom;
}

// The raw bytes of a window property, whatever its type.
QByteArray Property(xcb_window_t window, const char* name) {
  xcb_flush(Connection());
  auto cookie =
      xcb_get_property(Connection(), 0, window, Atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 1024);
  xcb_get_property_reply_t* reply = xcb_get_property_reply(Connection(), cookie, nullptr);
  QByteArray bytes;
  if (reply != nullptr) {
    bytes = QByteArray(static_cast<const char*>(xcb_get_property_value(reply)),
                       xcb_get_property_value_length(reply));
  }
  free(reply);
  return bytes;
}

QByteArray Property(const QWidget* window, const char* name) {
  return Property(static_cast<xcb_window_t>(window->winId()), name);
}

QString Title(const QWidget* window) {
  return QString::fromUtf8(Property(window, "_NET_WM_NAME"));
}

QString LegacyTitle(const QWidget* window) {
  return QString::fromLatin1(Property(window, "WM_NAME"));
}

// A top-level window of another process, found by the process id that Qt
// gives every window; XCB_WINDOW_NONE while it has none.
xcb_window_t WindowOfProcess(pid_t pid) {
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(Connection())).data->root;
  xcb_query_tree_reply_t* tree =
      xcb_query_tree_reply(Connection(), xcb_query_tree(Connection(), root), nullptr);
  xcb_window_t found = XCB_WINDOW_NONE;
  const xcb_window_t* children = xcb_query_tree_children(tree);
  for (int i = 0; tree != nullptr && i < xcb_query_tree_children_length(tree); ++i) {
    const QByteArray owner = Property(children[i], "_NET_WM_PID");
    if (owner.size() == sizeof(std::uint32_t) &&
        *reinterpret_cast<const std::uint32_t*>(owner.constData()) == std::uint32_t(pid) &&
        !Property(children[i], "_NET_WM_NAME").isEmpty()) {
      found = children[i];
    }
  }
  free(tree);
  return found;
}

}  // namespace

class X11WindowTest : public PanelTest {
  Q_OBJECT

 public:
  X11WindowTest() : PanelTest(kAddress) {}

 private slots:
  void initTestCase() {
    QVERIFY2(QGuiApplication::platformName() == "xcb", "run with QT_QPA_PLATFORM=xcb");
    PanelTest::initTestCase();
  }
  void init() {
    PanelTest::init();
    CreateWindow(LoopbackSettings(kAddress));
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }

  // The program as it is started, not only its window: its start-up must not
  // give Qt a display name that the platform would append to the title.
  void runningConsoleTitleCarriesNoSuffix() {
    PanelProcess panel(LoopbackSettings(kAddress),
                       {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", qgetenv("DISPLAY").toStdString()}});
    xcb_window_t window = XCB_WINDOW_NONE;
    QVERIFY(QTest::qWaitFor(
        [&] { return (window = WindowOfProcess(panel.Pid())) != XCB_WINDOW_NONE; }, kWaitMs));
    QCOMPARE(QString::fromUtf8(Property(window, "_NET_WM_NAME")), QString("VORNEX KDT-212 v1.1"));
    QCOMPARE(QString::fromLatin1(Property(window, "WM_NAME")), QString("VORNEX KDT-212 v1.1"));
  }

  void titlesCarryNoSuffix() {
    QCOMPARE(Title(window_.get()), QString("VORNEX KDT-212 v1.1"));
    QCOMPARE(LegacyTitle(window_.get()), QString("VORNEX KDT-212 v1.1"));
    QString dialogTitle, dialogLegacyTitle;
    QTimer::singleShot(0, this, [&] {
      QVERIFY(QTest::qWaitForWindowExposed(kdt::FormAddr));
      dialogTitle = Title(kdt::FormAddr);
      dialogLegacyTitle = LegacyTitle(kdt::FormAddr);
      kdt::FormAddr->done(kdt::TFormAddr::kModalCancel);
    });
    window_->MMAddr->trigger();
    QCOMPARE(dialogTitle, QString("IP address:"));
    QCOMPARE(dialogLegacyTitle, QString("IP address:"));
  }

  void messageBoxesAreCaptionedWithTheApplicationTitle() {
    std::filesystem::remove_all(PanelSettingsPath());
    std::filesystem::create_directory(PanelSettingsPath());  // the save on exit fails
    QString caption;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !QTest::qWaitForWindowExposed(box)) return;
      caption = Title(box);
      box->accept();
    });
    timer.start(20);
    window_.reset();
    std::filesystem::remove_all(PanelSettingsPath());
    QCOMPARE(caption, QString("VORNEX KDT-212"));
  }
};

QTEST_MAIN(X11WindowTest)
#include "X11WindowTest.moc"
