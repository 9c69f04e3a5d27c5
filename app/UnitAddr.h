// The address dialog: the unit's IPv4 address as four numbers.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <array>

#include "Widgets.h"

namespace kdt {

class TFormAddr : public QDialog {
  Q_OBJECT
 public:
  // The dialog's modal results.
  static constexpr int kModalOk = 1;
  static constexpr int kModalCancel = 2;

  explicit TFormAddr(QWidget* owner);

  TPanel* PanBack = nullptr;
  TNumEdit* E1 = nullptr;
  TNumEdit* E2 = nullptr;
  TNumEdit* E3 = nullptr;
  TNumEdit* E4 = nullptr;
  std::array<QLabel*, 3> StaticText{};
  QPushButton* OkButton = nullptr;
  QPushButton* CancelButton = nullptr;

  void FormKeyDown(int key);

 protected:
  // Key preview: the dialog sees a key before the focused control does.
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  // A close request from a window manager that offers one anyway is Cancel.
  void closeEvent(QCloseEvent* event) override;

 private:
  TNumEdit* AddOctetEdit(int left);
  QPushButton* AddButton(const QString& text, const QRect& bounds, int modalResult);
};

// The dialog while it is open; nothing else reads or writes it.
extern TFormAddr* FormAddr;

}  // namespace kdt
