#include "UnitMain.h"

#include <QApplication>
#include <QLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>

#include "Cp1251.h"
#include "Settings.h"
#include "SettingsLocation.h"
#include "TextRules.h"
#include "UnitAddr.h"
#include "UnitProcIP.h"
#include "X11WindowHints.h"

// The icon lives in this static library: its resource must be registered by
// hand, or the linker leaves it out.
static void InitPanelResources() {
  Q_INIT_RESOURCE(panel);
}

namespace kdt {
namespace {

constexpr int kClientWidth = 457;
constexpr int kClientHeight = 81;
constexpr int kRelayPanelWidth = 153;
constexpr int kRelayPanelHeight = 81;
constexpr int kRelayPanelLeft[] = {0, 304, 152, 0};  // by relay: RELAY C is rightmost
constexpr QPoint kDesignedPosition{217, 179};
constexpr int kFontPixelSize = 11;
constexpr QRect kCaptionBounds{1, 1, 151, 22};
constexpr QRect kInput1Bounds{8, 26, 65, 20};
constexpr QRect kInput2Bounds{80, 26, 65, 20};
constexpr QRect kNameBounds{8, 53, 136, 20};
constexpr QRect kRenameEditBounds{104, 8, 25, 17};
constexpr int kNameEditMaxLength = static_cast<int>(kNameLength);

QString RelayCaption(int relay) {
  return QString::fromStdString(RelayLabel(relay));
}

// The designed position, on the primary screen.
QPoint DesignedPosition() {
  const QScreen* primary = QGuiApplication::primaryScreen();
  return (primary != nullptr ? primary->geometry().topLeft() : QPoint()) + kDesignedPosition;
}

// True when a window of `size` at (left, top) would show, even partly, on a
// screen. In 64 bits: a saved position may be any 32-bit value.
bool ShowsOnAScreen(std::int64_t left, std::int64_t top, QSize size) {
  for (const QScreen* screen : QGuiApplication::screens()) {
    const QRect area = screen->availableGeometry();
    if (left < std::int64_t(area.x()) + area.width() && left + size.width() > area.x() &&
        top < std::int64_t(area.y()) + area.height() && top + size.height() > area.y()) {
      return true;
    }
  }
  return false;
}

}  // namespace

TFormMain::TFormMain(std::string settingsFile) : FSettingsFile(std::move(settingsFile)) {
  BuildComponents();
  FormCreate();
}

TFormMain::~TFormMain() {
  FormDestroy();
}

void TFormMain::BuildComponents() {
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  InitPanelResources();
  QIcon icon;
  for (int size : {16, 32, 48, 64}) {
    icon.addFile(QString(":/icons/kdt212-panel-%1.png").arg(size), QSize(size, size));
  }
  setWindowIcon(icon);
  QFont font("Tahoma");
  font.setPixelSize(kFontPixelSize);
  setFont(font);
  auto* client = new QWidget(this);
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);
  // Left to right RELAY A, B, C; neighbours overlap by one pixel.
  for (int r : kRelaysLeftToRight) BuildRelayPanel(r, kRelayPanelLeft[r]);
  RNEdit = new TEdit(client);
  RNEdit->setGeometry(kRenameEditBounds);
  FNameValidator = new TNameValidator(RNEdit);
  RNEdit->setValidator(FNameValidator);
  RNEdit->setMaxLength(kNameEditMaxLength);
  RNEdit->setAccessibleName("Relay name");
  RNEdit->hide();
  // A longer name from the unit is shown whole; the limit is for typing, and
  // holds again once an edit brings the text within it.
  connect(RNEdit, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (text.size() <= kNameEditMaxLength) RNEdit->setMaxLength(kNameEditMaxLength);
  });
  connect(RNEdit, &TEdit::KeyDown, this, &TFormMain::RNEditKeyDown);
  connect(RNEdit, &TEdit::Exit, this, [this] { RNEditExit(); });
  TimerCon = new QTimer(this);
  TimerCon->setInterval(kTimerConPeriodMs);
  connect(TimerCon, &QTimer::timeout, this, &TFormMain::TimerConTimer);
  BuildMenu();
  SetTabOrder();
  layout()->setSizeConstraint(QLayout::SetFixedSize);  // the operator cannot resize it
  PlaceAt(DesignedPosition());
}

void TFormMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  SetMotifHints(this, kFixedWindowHints);
}

void TFormMain::BuildRelayPanel(int r, int left) {
  RPan[r] = new TPanel(centralWidget(), TPanel::Border::kFlat);
  RPan[r]->setGeometry(left, 0, kRelayPanelWidth, kRelayPanelHeight);
  RPan[r]->Tag = r;
  PRCap[r] = new TPanel(RPan[r], TPanel::Border::kNone);
  PRCap[r]->setGeometry(kCaptionBounds);
  PRCap[r]->SetCaption(RelayCaption(r));
  Btn1[r] = new TFlatButton("INPUT 1", RPan[r]);
  Btn1[r]->setGeometry(kInput1Bounds);
  Btn2[r] = new TFlatButton("INPUT 2", RPan[r]);
  Btn2[r]->setGeometry(kInput2Bounds);
  PRName[r] = new TPanel(RPan[r], TPanel::Border::kFlat);
  PRName[r]->setGeometry(kNameBounds);
  QFont bold = font();
  bold.setBold(true);
  PRName[r]->setFont(bold);
  for (auto* button : {Btn1[r], Btn2[r]}) {
    button->Tag = r;
    button->setEnabled(false);
  }
  PRName[r]->Tag = r;
  RPan[r]->setAccessibleName(RelayCaption(r));
  Btn1[r]->setAccessibleName(RelayCaption(r) + " INPUT 1");
  Btn2[r]->setAccessibleName(RelayCaption(r) + " INPUT 2");
  PRName[r]->setAccessibleName(RelayCaption(r) + " name");
  DescribeRelay(r, false, false);
  connect(PRName[r], &TPanel::DblClick, this, &TFormMain::PRName1DblClick);
  for (TPanel* panel : {RPan[r], PRCap[r], PRName[r]}) {
    connect(panel, &TPanel::MouseDown, this, &TFormMain::PRCap3MouseDown);
  }
  connect(Btn1[r], &QAbstractButton::clicked, this, [this, r] { Btn11Click(r); });
  connect(Btn2[r], &QAbstractButton::clicked, this, [this, r] { Btn21Click(r); });
}

void TFormMain::BuildMenu() {
  MMConn = menuBar()->addAction("&Connect");
  connect(MMConn, &QAction::triggered, this, &TFormMain::MMConnClick);
  MMNet = menuBar()->addMenu("&Network");
  MMAddr = MMNet->addAction("IP address...");
  connect(MMAddr, &QAction::triggered, this, &TFormMain::MMAddrClick);
  MMNet->addSeparator();
  MMNetAuto = MMNet->addAction("Autoconnect");
  MMNetAuto->setCheckable(true);
  MMSync = menuBar()->addMenu("&Sync");
  for (int r : kRelaysLeftToRight) {
    MMSyncItem[r] = MMSync->addAction(RelayCaption(r));
    MMSyncItem[r]->setCheckable(true);
    MMSyncItem[r]->setData(r);  // the item's tag
    connect(MMSyncItem[r], &QAction::triggered, this, &TFormMain::MMSync1Click);
  }
}

void TFormMain::SetTabOrder() {
  QWidget* previous = nullptr;
  for (QWidget* widget : {static_cast<QWidget*>(Btn1[3]), static_cast<QWidget*>(Btn2[3]),
                          static_cast<QWidget*>(Btn1[2]), static_cast<QWidget*>(Btn2[2]),
                          static_cast<QWidget*>(Btn1[1]), static_cast<QWidget*>(Btn2[1]),
                          static_cast<QWidget*>(RNEdit)}) {
    if (previous != nullptr) setTabOrder(previous, widget);
    previous = widget;
  }
}

void TFormMain::FormCreate() {
  setWindowTitle(QString(kAppTitle) + kVersionSuffix);
  FSession = std::make_unique<TQmObject>();
  FSession->OnConnect.Bind(this, &TFormMain::SessionConnect);
  FSession->OnDisconnect.Bind(this, &TFormMain::SessionDisconnect);
  FSession->OnStatus.Bind(this, &TFormMain::SessionStatus);
  RNEdit->setFont(PRName[1]->font());
  TimerCon->start();
  if (!LoadSettings()) return;
  UpdateSyncCaptions();
}

void TFormMain::FormDestroy() {
  // No connection may start while the window goes: a failed save's message
  // box would otherwise let the timer start one that the end must wait for.
  TimerCon->stop();
  SaveSettings();
  FSession.reset();  // stops the worker, which says goodbye, and waits for it
}

bool TFormMain::LoadSettings() {
  PanelSettings settings;
  std::string error;
  if (!LoadPanelSettings(SettingsLocationNow().path, settings, error)) {
    ShowSettingsError(QString::fromStdString(error));
    return false;
  }
  // A position off every screen (a monitor since removed, a hand-edited
  // file) would hide the window for good: it opens where it was designed to.
  if (ShowsOnAScreen(settings.left, settings.top, sizeHint())) {
    PlaceAt({settings.left, settings.top});
  } else {
    PlaceAt(DesignedPosition());
  }
  FAddress = settings.address;
  MMNetAuto->setChecked(settings.autoConnect);
  for (int r = 1; r <= kRelayCount; ++r) MMSyncItem[r]->setChecked(settings.sync[r - 1]);
  return true;
}

bool TFormMain::SaveSettings() {
  PanelSettings settings;
  settings.left = Placement().x();
  settings.top = Placement().y();
  settings.address = FAddress;
  settings.autoConnect = MMNetAuto->isChecked();
  for (int r = 1; r <= kRelayCount; ++r) settings.sync[r - 1] = MMSyncItem[r]->isChecked();
  std::string error;
  const SettingsLocation location = SettingsLocationNow();
  if (location.inUserConfig) MakeSettingsFolder(location.path);  // a failure shows as the save's
  if (SavePanelSettings(location.path, settings, error)) return true;
  ShowSettingsError(QString::fromStdString(error));
  return false;
}

// The position is kept as the client area's, in both directions. Before the
// window is first shown its frame is not known, and a window manager places
// a window by its client area (Openbox, with the gravity Qt gives): a
// position saved with the frame and restored without it would creep by the
// frame's size on every run.
void TFormMain::PlaceAt(QPoint topLeft) {
  setGeometry(QRect(topLeft, size()));
}

QPoint TFormMain::Placement() const {
  return geometry().topLeft();
}

SettingsLocation TFormMain::SettingsLocationNow() const {
  if (!FSettingsFile.empty()) return {FSettingsFile, false};
  return ChooseSettingsLocation(QCoreApplication::applicationFilePath().toStdString());
}

void TFormMain::ShowSettingsError(const QString& text) {
  QMessageBox box(QMessageBox::Critical, kAppTitle, text, QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void TFormMain::UpdateSyncCaptions() {
  for (int r = 1; r <= kRelayCount; ++r) {
    const QString caption = RelayCaption(r) + (MMSyncItem[r]->isChecked() ? " (SYNC)" : "");
    PRCap[r]->SetCaption(caption);
    PRCap[r]->setAccessibleName(caption);
  }
}

// What the window shows by colour and by the buttons' state, in words, for
// screen readers: which input is selected, whether the relay is locked, and
// the relay's name.
void TFormMain::DescribeRelay(int r, bool connected, bool locked) {
  if (!connected) {
    for (auto* widget : {static_cast<QWidget*>(Btn1[r]), static_cast<QWidget*>(Btn2[r]),
                         static_cast<QWidget*>(PRName[r])}) {
      widget->setAccessibleDescription("not connected");
    }
    return;
  }
  const QString lock = locked ? ", locked at the unit" : "";
  Btn1[r]->setAccessibleDescription(
      (Btn1[r]->FaceColor() == kInput1Color ? "selected input" : "not selected") + lock);
  Btn2[r]->setAccessibleDescription(
      (Btn2[r]->FaceColor() == kInput2Color ? "selected input" : "not selected") + lock);
  PRName[r]->setAccessibleDescription(PRName[r]->Caption().isEmpty() ? "no name"
                                                                     : PRName[r]->Caption());
}

void TFormMain::RNEditExit() {
  RNEdit->setAccessibleName("Relay name");
  RNEdit->clear();
  RNEdit->hide();
  if (RNEdit->parentWidget() != centralWidget()) RNEdit->setParent(centralWidget());
}

void TFormMain::SetInputButtonsEnabled(bool enabled) {
  for (int r = 1; r <= kRelayCount; ++r) {
    Btn1[r]->setEnabled(enabled);
    Btn2[r]->setEnabled(enabled);
  }
}

// The input buttons wait for the first status of a KDT-212: a unit of
// another kind must not be sent commands while the window shows nothing of it.
void TFormMain::SessionConnect(TQmObject*, bool connected) {
  if (connected) MMConn->setText("Disconnect");
}

void TFormMain::SessionDisconnect(TQmObject*, std::int32_t) {
  for (int r = 1; r <= kRelayCount; ++r) {
    PRName[r]->SetCaption(QString());
    Btn1[r]->SetFaceColor(ButtonFaceColor());
    Btn2[r]->SetFaceColor(ButtonFaceColor());
    DescribeRelay(r, false, false);
  }
  SetInputButtonsEnabled(false);
  RNEditExit();
  MMConn->setText("Connect");
}

// A status of another model leaves the window as it was, but for the input
// buttons: a unit that no longer says it is a KDT-212 is sent no commands.
void TFormMain::SessionStatus(TQmObject* sender) {
  if (sender->Model() != kModelKdt212) {
    SetInputButtonsEnabled(false);
    return;
  }
  for (int r = 1; r <= kRelayCount; ++r) {
    const std::uint8_t state = sender->RelayState(r);
    PRName[r]->SetCaption(DecodeCp1251(sender->RelayName(r)));
    if (InputOf(state) == kInput1) {
      Btn1[r]->SetFaceColor(kInput1Color);
      Btn2[r]->SetFaceColor(ButtonFaceColor());
    } else if (InputOf(state) == kInput2) {
      Btn2[r]->SetFaceColor(kInput2Color);
      Btn1[r]->SetFaceColor(ButtonFaceColor());
    }
    const bool locked = IsLocked(state);
    Btn1[r]->setEnabled(!locked);
    Btn2[r]->setEnabled(!locked);
    DescribeRelay(r, true, locked);
  }
}

void TFormMain::Btn11Click(int relay) {
  SendInput(kInput1, relay);
}
void TFormMain::Btn21Click(int relay) {
  SendInput(kInput2, relay);
}

// The clicked relay goes first; when it is in sync, every relay in sync
// follows in relay order, the clicked one included once more.
void TFormMain::SendInput(std::uint8_t input, int relay) {
  FSession->SendSetInput(input, static_cast<std::uint8_t>(relay));
  if (!MMSyncItem[relay]->isChecked()) return;
  for (int j = 1; j <= kRelayCount; ++j) {
    if (MMSyncItem[j]->isChecked()) FSession->SendSetInput(input, static_cast<std::uint8_t>(j));
  }
}

void TFormMain::MMSync1Click() {
  UpdateSyncCaptions();
}

void TFormMain::MMConnClick() {
  if (FSession->IsRunning()) {
    FSession->Stop();
  } else {
    StartSession();
  }
}

void TFormMain::TimerConTimer() {
  if (MMNetAuto->isChecked() && !FSession->IsRunning()) StartSession();
}

void TFormMain::PRName1DblClick(TPanel* sender) {
  if (!FSession->IsConnected()) return;
  const int r = sender->Tag;
  RNEdit->Tag = r;
  RNEdit->setAccessibleName("New name of " + RelayCaption(r));
  RNEdit->setParent(RPan[r]);
  RNEdit->setGeometry(PRName[r]->geometry());
  RNEdit->show();
  const QString name = PRName[r]->Caption();
  RNEdit->setMaxLength(std::max<int>(kNameEditMaxLength, static_cast<int>(name.size())));
  FNameValidator->Tolerate(name);
  RNEdit->setText(name);
  RNEdit->setFocus();
}

void TFormMain::RNEditKeyDown(TEdit*, int key) {
  if (!FSession->IsConnected()) {
    RNEditExit();
  } else if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    // The edit takes only what the code page carries; should anything else
    // reach it all the same, nothing is sent rather than an empty name.
    std::string name;
    if (EncodeCp1251(RNEdit->text(), name)) {
      FSession->SendSetName(TrimBlanks(name), static_cast<std::uint8_t>(RNEdit->Tag));
    }
    RNEditExit();
  } else if (key == Qt::Key_Escape) {
    RNEditExit();
  }
}

// A press anywhere but on the name panel under the edit takes the focus, and
// with it ends the rename without sending.
void TFormMain::PRCap3MouseDown(TPanel* sender) {
  if (RNEdit->isHidden()) return;
  if (sender->Tag == RNEdit->Tag && sender == PRName[sender->Tag]) return;
  sender->setFocus(Qt::MouseFocusReason);
}

void TFormMain::MMAddrClick() {
  FormAddr = new TFormAddr(this);
  std::array<TNumEdit*, 4> edits = {FormAddr->E1, FormAddr->E2, FormAddr->E3, FormAddr->E4};
  const OctetArray octets = UnpackOctets(FAddress);
  for (std::size_t k = 0; k < edits.size(); ++k) edits[k]->SetValue(octets[k]);
  if (FormAddr->exec() == TFormAddr::kModalOk) {
    // Through text and StrToIP: a number out of range zeroes it and every
    // later octet, as the address rules say.
    QStringList numbers;
    for (TNumEdit* edit : edits) numbers << QString::number(edit->Value());
    FAddress = StrToIP(numbers.join('.').toStdString());
    SaveSettings();
  }
  FormAddr->deleteLater();
  FormAddr = nullptr;
}

void TFormMain::StartSession() {
  FSession->Start(IPToStr(FAddress), kUnitPort, kExchangeIntervalMs);
}

}  // namespace kdt
