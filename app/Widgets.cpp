#include "Widgets.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include <QApplication>
#include <QFile>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QPen>
#include <QRegularExpressionValidator>

#include "Platform.h"

namespace kdt {

void RegisterFonts() {
  // Only the regular face: with wine's bold face registered as well, Qt
  // reports bold text but draws it with the regular outlines. Without it,
  // bold is drawn emboldened, as it should look.
  const QString tahoma = QString::fromStdString(WindowFaceFontFile());
  if (QFile::exists(tahoma)) QFontDatabase::addApplicationFont(tahoma);
}

QColor ButtonFaceColor() {
  return QApplication::palette().color(QPalette::Button);
}
QColor WindowTextColor() {
  return QApplication::palette().color(QPalette::WindowText);
}

namespace {

constexpr int kBorderWidth = 1;
constexpr int kFocusInset = 2;  // the focus rectangle, inside the raised edge

QColor BorderColor() {
  return ButtonFaceColor().darker(160);
}

void DrawCaption(QPainter& painter, const QRect& rect, const QString& text, const QColor& color) {
  painter.setPen(color);
  painter.drawText(rect, Qt::AlignCenter | Qt::TextSingleLine, text);
}

// Opening a menu or switching to another window leaves the focus where it is,
// as far as the window is concerned: only a real move leaves an edit.
bool LeavesTheEdit(const QFocusEvent* event) {
  return event->reason() != Qt::PopupFocusReason && event->reason() != Qt::ActiveWindowFocusReason;
}

}  // namespace

TPanel::TPanel(QWidget* parent, Border border) : QFrame(parent), border_(border) {}

void TPanel::SetCaption(const QString& caption) {
  if (caption == caption_) return;
  caption_ = caption;
  update();
}

void TPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), ButtonFaceColor());
  QRect inner = rect();
  if (border_ == Border::kFlat) {
    painter.setPen(BorderColor());
    painter.drawRect(rect().adjusted(0, 0, -kBorderWidth, -kBorderWidth));
    inner.adjust(kBorderWidth, kBorderWidth, -kBorderWidth, -kBorderWidth);
  }
  painter.setFont(font());
  DrawCaption(
      painter, inner, caption_,
      isEnabled() ? WindowTextColor() : palette().color(QPalette::Disabled, QPalette::WindowText));
}

// A press on a panel belongs to that panel alone: it does not travel on to
// the panel it lies in.
void TPanel::mousePressEvent(QMouseEvent* event) {
  emit MouseDown(this);
  event->accept();
}

// The second press of a double click: the double click first, then the press.
void TPanel::mouseDoubleClickEvent(QMouseEvent* event) {
  emit DblClick(this);
  emit MouseDown(this);
  event->accept();
}

TFlatButton::TFlatButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
  setText(text);
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_Hover);
}

void TFlatButton::SetFaceColor(const QColor& color) {
  face_ = color;
  update();
}

QColor TFlatButton::FaceColor() const {
  return face_.isValid() ? face_ : ButtonFaceColor();
}

void TFlatButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect r = rect();
  painter.fillRect(r, FaceColor());
  if ((hot_ && isEnabled()) || isDown()) {
    // A raised edge in a lighter and a darker shade of the window colour,
    // sunken while pressed; the face keeps its own colour.
    QColor light = ButtonFaceColor().lighter(150), dark = ButtonFaceColor().darker(150);
    if (isDown()) std::swap(light, dark);
    painter.setPen(light);
    painter.drawLine(r.topLeft(), r.topRight());
    painter.drawLine(r.topLeft(), r.bottomLeft());
    painter.setPen(dark);
    painter.drawLine(r.bottomLeft(), r.bottomRight());
    painter.drawLine(r.topRight(), r.bottomRight());
  }
  if (hasFocus() && keyboardFocus_) {
    painter.setPen(QPen(WindowTextColor(), 1, Qt::DotLine));
    painter.drawRect(r.adjusted(kFocusInset, kFocusInset, -kFocusInset - 1, -kFocusInset - 1));
  }
  painter.setFont(font());
  DrawCaption(
      painter, r, text(),
      isEnabled() ? WindowTextColor() : palette().color(QPalette::Disabled, QPalette::ButtonText));
}

void TFlatButton::focusInEvent(QFocusEvent* event) {
  const Qt::FocusReason reason = event->reason();
  if (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
      reason == Qt::ShortcutFocusReason) {
    keyboardFocus_ = true;
  } else if (reason == Qt::MouseFocusReason) {
    keyboardFocus_ = false;
  }  // coming back with the window or from a menu, it keeps what it had
  QAbstractButton::focusInEvent(event);
}

void TFlatButton::enterEvent(QEnterEvent* event) {
  hot_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void TFlatButton::leaveEvent(QEvent* event) {
  hot_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

TEdit::TEdit(QWidget* parent) : QLineEdit(parent) {
  setFrame(true);
}

void TEdit::keyPressEvent(QKeyEvent* event) {
  emit KeyDown(this, event->key());
  // A key whose handler put the edit away is used up: typed into the hidden
  // edit, it would wait there for the next time the edit opens.
  if (isHidden()) return;
  QLineEdit::keyPressEvent(event);
}

void TEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  if (LeavesTheEdit(event)) emit Exit(this);
}

TNumEdit::TNumEdit(QWidget* parent, int minimum, int maximum)
    : TEdit(parent), minimum_(minimum), maximum_(maximum) {
  setValidator(new QRegularExpressionValidator(QRegularExpression(R"([+-]?\(?[0-9,]*\)?)"), this));
}

int TNumEdit::Value() const {
  QString digits = text().trimmed();
  const bool negative = digits.startsWith('(') || digits.startsWith('-');
  digits.remove(QRegularExpression(R"([^0-9])"));
  // Digits beyond what an int holds read as the largest value, so that the
  // range check still sees them as out of range.
  long long magnitude = 0;
  for (QChar digit : digits) {
    magnitude = std::min<long long>(magnitude * 10 + digit.digitValue(), INT32_MAX + 1LL);
  }
  const long long value = negative ? -magnitude : magnitude;
  return static_cast<int>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

void TNumEdit::SetValue(int value) {
  // The display format ",0;(,0)": grouped digits, a negative value in parentheses.
  QString digits = QLocale(QLocale::English).toString(std::abs(static_cast<long long>(value)));
  setText(value < 0 ? "(" + digits + ")" : digits);
}

void TNumEdit::CheckRange() {
  if (text().trimmed().isEmpty()) return;
  const int value = Value();
  if (value < minimum_) SetValue(minimum_);
  if (value > maximum_) SetValue(maximum_);
}

void TNumEdit::focusOutEvent(QFocusEvent* event) {
  if (LeavesTheEdit(event)) CheckRange();
  TEdit::focusOutEvent(event);
}

}  // namespace kdt
