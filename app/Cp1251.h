// The unit's code page for the window's text, through CodePage.h (its one
// table and encoder): a relay's name as the window shows it, and an edit that
// takes only what the rule for names allows (RelayName.h).
#pragma once

#include <QString>
#include <QValidator>
#include <string>
#include <string_view>

namespace kdt {

QString DecodeCp1251(std::string_view bytes);
// False when a character has no byte in the code page; `bytes` is then empty.
bool EncodeCp1251(const QString& text, std::string& bytes);

// Lets an edit take only characters that a name may hold. A name that the
// unit reports may hold others (a control character, say): those of the
// text an edit began with are tolerated, so that such a name can still be
// edited, and sent back byte for byte.
class TNameValidator : public QValidator {
 public:
  using QValidator::QValidator;
  void Tolerate(const QString& original) { tolerated_ = original; }
  State validate(QString& input, int& pos) const override;

 private:
  QString tolerated_;
};

}  // namespace kdt
