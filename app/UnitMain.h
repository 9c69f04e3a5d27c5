// The operator's console: three relay panels side by side (RELAY A, B, C from
// left to right, that is relays 3, 2 and 1), each with its caption, two input
// buttons and its name; the menus; the one device session of the program.
#pragma once

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QTimer>
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "Cp1251.h"
#include "SettingsLocation.h"
#include "UnitThread.h"
#include "Version.h"
#include "Widgets.h"

namespace kdt {

// The application title: the caption of the program's message boxes and the
// start of the main window's. Not Qt's application display name, which the
// X11 platform would append to every window title.
constexpr const char* kAppTitle = "VORNEX KDT-212";
constexpr const char* kVersionSuffix = " v" KDT_VERSION;
constexpr std::uint32_t kExchangeIntervalMs = 1;
constexpr int kTimerConPeriodMs = 1000;

// Button faces, as the unit's original console painted them.
const QColor kInput1Color{136, 255, 136};  // INPUT 1 selected: light green
const QColor kInput2Color{255, 204, 85};   // INPUT 2 selected: light orange

class TFormMain : public QMainWindow {
  Q_OBJECT
 public:
  // `settingsFile`: the settings file named on the command line; empty, the
  // usual place (SettingsLocation.h).
  explicit TFormMain(std::string settingsFile = {});
  ~TFormMain() override;

  // The components, named as the window's design names them.
  std::array<TPanel*, 4> RPan{};       // [r]: relay panel of relay r (index 0 unused)
  std::array<TPanel*, 4> PRCap{};      // caption panels
  std::array<TPanel*, 4> PRName{};     // name panels
  std::array<TFlatButton*, 4> Btn1{};  // INPUT 1 buttons
  std::array<TFlatButton*, 4> Btn2{};  // INPUT 2 buttons
  TEdit* RNEdit = nullptr;
  QTimer* TimerCon = nullptr;
  QAction* MMConn = nullptr;
  QMenu* MMNet = nullptr;
  QAction* MMAddr = nullptr;
  QAction* MMNetAuto = nullptr;
  QMenu* MMSync = nullptr;
  std::array<QAction*, 4> MMSyncItem{};  // MMSync1 .. MMSync3

  std::unique_ptr<TQmObject> FSession;
  TNameValidator* FNameValidator = nullptr;  // RNEdit's
  std::uint32_t FAddress = 0;
  const std::string FSettingsFile;

  bool LoadSettings();
  bool SaveSettings();
  void UpdateSyncCaptions();
  void RNEditExit();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BuildComponents();
  void BuildRelayPanel(int relay, int left);
  void BuildMenu();
  void SetTabOrder();
  void FormCreate();
  void FormDestroy();
  void PlaceAt(QPoint topLeft);
  QPoint Placement() const;
  SettingsLocation SettingsLocationNow() const;
  void ShowSettingsError(const QString& text);
  void StartSession();
  void SetInputButtonsEnabled(bool enabled);
  void DescribeRelay(int relay, bool connected, bool locked);

  void SessionConnect(TQmObject* sender, bool connected);
  void SessionDisconnect(TQmObject* sender, std::int32_t code);
  void SessionStatus(TQmObject* sender);
  void Btn11Click(int relay);
  void Btn21Click(int relay);
  void SendInput(std::uint8_t input, int relay);
  void MMSync1Click();
  void MMConnClick();
  void TimerConTimer();
  void PRName1DblClick(TPanel* sender);
  void RNEditKeyDown(TEdit* sender, int key);
  void PRCap3MouseDown(TPanel* sender);

 public:
  void MMAddrClick();
};

}  // namespace kdt
