#include "UnitAddr.h"

#include <QCloseEvent>
#include <QKeyEvent>

#include "X11WindowHints.h"

namespace kdt {

TFormAddr* FormAddr = nullptr;

namespace {

constexpr int kClientWidth = 193;
constexpr int kClientHeight = 73;
constexpr int kEditTop = 8;
constexpr QSize kEditSize{33, 22};
constexpr int kEditLefts[] = {8, 56, 104, 152};
constexpr int kColonLefts[] = {45, 92, 140};
constexpr QSize kColonSize{9, 18};
constexpr int kColonTop = 10;
constexpr QRect kOkBounds{8, 40, 113, 22};
constexpr QRect kCancelBounds{128, 40, 57, 22};
constexpr int kFormFontPixels = 12;
constexpr int kButtonFontPixels = 11;
constexpr int kOctetMax = 255;
constexpr int kPlaceholderValue = 999;  // always replaced before the dialog shows

bool IsEnter(int key) {
  return key == Qt::Key_Return || key == Qt::Key_Enter;
}

}  // namespace

TFormAddr::TFormAddr(QWidget* owner) : QDialog(owner) {
  setWindowTitle("IP address:");
  setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  QFont font("Verdana");
  font.setPixelSize(kFormFontPixels);
  setFont(font);
  setFixedSize(kClientWidth, kClientHeight);
  PanBack = new TPanel(this, TPanel::Border::kFlat);
  PanBack->setGeometry(0, 0, kClientWidth, kClientHeight);
  E1 = AddOctetEdit(kEditLefts[0]);
  E2 = AddOctetEdit(kEditLefts[1]);
  E3 = AddOctetEdit(kEditLefts[2]);
  E4 = AddOctetEdit(kEditLefts[3]);
  QFont bold = font;
  bold.setBold(true);
  for (std::size_t i = 0; i < StaticText.size(); ++i) {
    StaticText[i] = new QLabel(":", PanBack);
    StaticText[i]->setTextFormat(Qt::PlainText);
    StaticText[i]->setAlignment(Qt::AlignCenter);
    StaticText[i]->setFont(bold);
    StaticText[i]->setGeometry(QRect(QPoint(kColonLefts[i], kColonTop), kColonSize));
  }
  OkButton = AddButton("Ok", kOkBounds, kModalOk);
  CancelButton = AddButton("Cancel", kCancelBounds, kModalCancel);
  setTabOrder(CancelButton, E1);
  setTabOrder(E1, E2);
  setTabOrder(E2, E3);
  setTabOrder(E3, E4);
  setTabOrder(E4, OkButton);
}

void TFormAddr::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  SetMotifHints(this, kToolWindowHints);
  CancelButton->setFocus();  // where the dialog opens
}

void TFormAddr::closeEvent(QCloseEvent* event) {
  if (isVisible()) done(kModalCancel);
  event->accept();
}

TNumEdit* TFormAddr::AddOctetEdit(int left) {
  auto* edit = new TNumEdit(PanBack, 0, kOctetMax);
  edit->setGeometry(QRect(QPoint(left, kEditTop), kEditSize));
  edit->SetValue(kPlaceholderValue);
  edit->installEventFilter(this);
  return edit;
}

QPushButton* TFormAddr::AddButton(const QString& text, const QRect& bounds, int modalResult) {
  auto* button = new QPushButton(text, PanBack);
  button->setGeometry(bounds);
  button->setAutoDefault(false);  // neither button is the default: Enter is handled below
  button->setAttribute(Qt::WA_Hover);
  QFont font("Verdana");
  font.setPixelSize(kButtonFontPixels);
  button->setFont(font);
  button->installEventFilter(this);
  connect(button, &QPushButton::clicked, this, [this, modalResult] { done(modalResult); });
  return button;
}

bool TFormAddr::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QDialog::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);
  // On a button, Enter without Shift, Ctrl or Alt presses that button.
  auto* button = qobject_cast<QPushButton*>(watched);
  if (button != nullptr && IsEnter(key->key()) &&
      (key->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) == 0) {
    button->click();
    return true;
  }
  FormKeyDown(key->key());
  return isVisible() ? QDialog::eventFilter(watched, event) : true;
}

void TFormAddr::FormKeyDown(int key) {
  // Enter confirms as OK does: the edit with the focus checks its range first,
  // as it would on losing the focus to the Ok button.
  if (IsEnter(key)) {
    if (auto* edit = qobject_cast<TNumEdit*>(focusWidget())) edit->CheckRange();
    done(kModalOk);
  }
  if (key == Qt::Key_Escape) done(kModalCancel);
}

}  // namespace kdt
