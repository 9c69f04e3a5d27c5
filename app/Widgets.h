// The small widget toolkit both windows are built from: framed panels with a
// centred caption, flat hot-tracking push buttons, and a framed line edit.
// Captions are always drawn as plain text, never read as markup.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFrame>
#include <QLineEdit>
#include <QString>

namespace kdt {

// Makes Tahoma available where Debian's fonts-wine installed it, outside the
// font path; otherwise, as for Verdana, the toolkit's fallback is used.
void RegisterFonts();

// The toolkit's colours: the system's button face and window text.
QColor ButtonFaceColor();
QColor WindowTextColor();

class TPanel : public QFrame {
  Q_OBJECT
 public:
  enum class Border { kNone, kFlat };
  TPanel(QWidget* parent, Border border);

  void SetCaption(const QString& caption);
  QString Caption() const { return caption_; }

  int Tag = 0;

 signals:
  void MouseDown(TPanel* sender);
  void DblClick(TPanel* sender);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  Border border_;
  QString caption_;
};

// A flat push button: no border until the mouse is over it, then a raised
// edge in shades of the window colour; a face colour of its own once set,
// the window colour, as its panel has, before. A dotted rectangle inside the
// face shows the keyboard focus once the keyboard has moved it there, as
// desktop buttons do; a button focused by a click shows none.
class TFlatButton : public QAbstractButton {
  Q_OBJECT
 public:
  TFlatButton(const QString& text, QWidget* parent);

  void SetFaceColor(const QColor& color);
  // The colour the face is painted in: its own, or the window colour.
  QColor FaceColor() const;

  int Tag = 0;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;

 private:
  QColor face_;
  bool hot_ = false;
  bool keyboardFocus_ = false;  // the focus came by Tab or a shortcut
};

// A framed single-line edit with a tag.
class TEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit TEdit(QWidget* parent);
  int Tag = 0;

 signals:
  void KeyDown(TEdit* sender, int key);
  void Exit(TEdit* sender);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
};

// A numeric edit for whole numbers within a range. The range is checked when
// the edit loses the focus (a value outside is replaced by the nearest bound;
// a blank edit stays blank); reading the value checks nothing, so a number
// typed out of range is read as typed. Typing is limited to digits, a leading
// sign and the parentheses of the negative display format "(12)".
class TNumEdit : public TEdit {
  Q_OBJECT
 public:
  TNumEdit(QWidget* parent, int minimum, int maximum);
  // Blank reads 0; "(12)" reads -12.
  int Value() const;
  void SetValue(int value);
  // Replaces a value outside the range by the nearest bound; runs by itself
  // when the edit loses the focus.
  void CheckRange();

 protected:
  void focusOutEvent(QFocusEvent* event) override;

 private:
  int minimum_;
  int maximum_;
};

}  // namespace kdt
