// The unit's names are single bytes of the Windows Cyrillic code page
// (windows-1251). Decoding and encoding are exact inverses for every byte 1 to
// 255, so a name read from the unit and sent back unchanged reaches it as the
// same bytes; 0x98, which the code page leaves undefined, stands for U+0098.
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
