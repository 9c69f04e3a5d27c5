// What the window manager is told about the console's windows, read back
// from a real X server: only the xcb platform shows it. Run under Xvfb with
// QT_QPA_PLATFORM=xcb; no window manager is needed.
#include <xcb/xcb.h>

#include <QGuiApplication>
#include <algorithm>
#include <vector>

#include "PanelFixture.h"
#include "PanelProcess.h"
#include "UnitAddr.h"
#include "X11Properties.h"

using namespace testsupport;
using kdt::TFormMain;

namespace {

const std::string kAddress = "127.0.0.10";  // this binary's own unit address

xcb_connection_t* Connection() {
  return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

xcb_atom_t Atom(const char* name) {
  return x11::Atom(Connection(), name);
}

QByteArray Property(xcb_window_t window, const char* name) {
  return QByteArray::fromStdString(x11::Property(Connection(), window, name));
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

std::vector<std::uint32_t> Items(const QWidget* window, const char* name) {
  return x11::Items(Connection(), static_cast<xcb_window_t>(window->winId()), name);
}

bool Contains(const std::vector<std::uint32_t>& items, std::uint32_t item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

// What the window manager reads: the Motif hints' flags, functions and
// decorations, and the minimum and maximum sizes of WM_NORMAL_HINTS.
struct Frame {
  std::uint32_t flags = 0, functions = 0, decorations = 0;
  QSize minimum, maximum;
};

Frame FrameOf(const QWidget* window) {
  Frame frame;
  const std::vector<std::uint32_t> motif = Items(window, "_MOTIF_WM_HINTS");
  if (motif.size() >= 3) {
    frame.flags = motif[0];
    frame.functions = motif[1];
    frame.decorations = motif[2];
  }
  // flags, x, y, width, height, min width, min height, max width, max height, ...
  const std::vector<std::uint32_t> size = Items(window, "WM_NORMAL_HINTS");
  constexpr std::uint32_t kMinSize = 1u << 4, kMaxSize = 1u << 5;
  if (size.size() >= 9 && (size[0] & kMinSize) != 0) frame.minimum = QSize(size[5], size[6]);
  if (size.size() >= 9 && (size[0] & kMaxSize) != 0) frame.maximum = QSize(size[7], size[8]);
  return frame;
}

// A top-level window of another process whose title starts with `title`,
// found by the process id that Qt gives every window (the process has other
// windows too); XCB_WINDOW_NONE while it has none.
xcb_window_t TitledWindowOfProcess(pid_t pid, const QByteArray& title) {
  const xcb_window_t root = x11::Root(Connection());
  xcb_query_tree_reply_t* tree =
      xcb_query_tree_reply(Connection(), xcb_query_tree(Connection(), root), nullptr);
  xcb_window_t found = XCB_WINDOW_NONE;
  const xcb_window_t* children = xcb_query_tree_children(tree);
  for (int i = 0; tree != nullptr && i < xcb_query_tree_children_length(tree); ++i) {
    const QByteArray owner = Property(children[i], "_NET_WM_PID");
    if (owner.size() == sizeof(std::uint32_t) &&
        *reinterpret_cast<const std::uint32_t*>(owner.constData()) == std::uint32_t(pid) &&
        Property(children[i], "_NET_WM_NAME").startsWith(title)) {
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
    PanelProcess panel({LoopbackSettings(kAddress),
                        {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", qgetenv("DISPLAY").toStdString()}},
                        {}});
    xcb_window_t window = XCB_WINDOW_NONE;
    QVERIFY(QTest::qWaitFor(
        [&] {
          return (window = TitledWindowOfProcess(panel.Pid(), kdt::kAppTitle)) != XCB_WINDOW_NONE;
        },
        kWaitMs));
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

  // A fixed single border: move, minimise and close, no resizing; border,
  // title, menu and minimise box.
  void mainWindowFrameIsFixed() {
    const Frame frame = FrameOf(window_.get());
    QCOMPARE(frame.flags, 0x3u);         // functions and decorations given
    QCOMPARE(frame.functions, 0x2Cu);    // move, minimise, close
    QCOMPARE(frame.decorations, 0x3Au);  // border, title, menu, minimise
    QVERIFY(frame.minimum.isValid());
    QCOMPARE(frame.minimum, frame.maximum);
    QCOMPARE(frame.minimum, window_->size());
  }

  // A tool window's border and caption and no caption buttons; a modal
  // utility window over the main window, of one size.
  void addressDialogFrameHasNoCaptionButtons() {
    Frame frame;
    std::vector<std::uint32_t> type, transientFor, state;
    QSize size;
    QTimer::singleShot(0, this, [&] {
      QVERIFY(QTest::qWaitForWindowExposed(kdt::FormAddr));
      frame = FrameOf(kdt::FormAddr);
      type = Items(kdt::FormAddr, "_NET_WM_WINDOW_TYPE");
      transientFor = Items(kdt::FormAddr, "WM_TRANSIENT_FOR");
      state = Items(kdt::FormAddr, "_NET_WM_STATE");
      size = kdt::FormAddr->size();
      kdt::FormAddr->done(kdt::TFormAddr::kModalCancel);
    });
    window_->MMAddr->trigger();
    QCOMPARE(frame.flags, 0x3u);
    QCOMPARE(frame.functions, 0x4u);    // move only
    QCOMPARE(frame.decorations, 0xAu);  // border and title
    QCOMPARE(frame.minimum, QSize(193, 73));
    QCOMPARE(frame.maximum, frame.minimum);
    QVERIFY(Contains(type, Atom("_NET_WM_WINDOW_TYPE_UTILITY")));
    QCOMPARE(transientFor, std::vector<std::uint32_t>{std::uint32_t(window_->winId())});
    QVERIFY(Contains(state, Atom("_NET_WM_STATE_MODAL")));
  }

  // A window manager that offers a close box anyway sends WM_DELETE_WINDOW:
  // the dialog takes it as Cancel.
  void closeRequestActsAsCancel() {
    int result = -1;
    QTimer::singleShot(0, this, [&] {
      QVERIFY(QTest::qWaitForWindowExposed(kdt::FormAddr));
      xcb_client_message_event_t message{};
      message.response_type = XCB_CLIENT_MESSAGE;
      message.format = 32;
      message.window = static_cast<xcb_window_t>(kdt::FormAddr->winId());
      message.type = Atom("WM_PROTOCOLS");
      message.data.data32[0] = Atom("WM_DELETE_WINDOW");
      message.data.data32[1] = XCB_CURRENT_TIME;
      xcb_send_event(Connection(), 0, message.window, XCB_EVENT_MASK_NO_EVENT,
                     reinterpret_cast<const char*>(&message));
      xcb_flush(Connection());
      QVERIFY(QTest::qWaitFor([] { return !kdt::FormAddr->isVisible(); }, kWaitMs));
      result = kdt::FormAddr->result();
    });
    window_->MMAddr->trigger();
    QCOMPARE(result, kdt::TFormAddr::kModalCancel);
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
