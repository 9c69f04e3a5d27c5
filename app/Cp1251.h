// The unit's code page for the window's text, through CodePage.h (its one
// table and encoder): a relay's name as the window shows it, and an edit that
// takes only what the code page carries.
#pragma once

#include <QString>
#include <QValidator>
#include <string>
#include <string_view>

namespace kdt {

QString DecodeCp1251(std::string_view bytes);
// False when a character has no byte in the code page; `bytes` is then empty.
bool EncodeCp1251(const QString& text, std::string& bytes);
bool IsCp1251(QChar c);

// Lets an edit take only characters that the code page can carry.
class TCodePageValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override;
};

}  // namespace kdt
