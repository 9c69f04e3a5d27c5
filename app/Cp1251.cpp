#include "Cp1251.h"

#include "CodePage.h"

namespace kdt {

QString DecodeCp1251(std::string_view bytes) {
  return QString::fromStdString(DecodeToUtf8(bytes));
}

bool EncodeCp1251(const QString& text, std::string& bytes) {
  char32_t offending = 0;
  return EncodeFromUtf8(text.toStdString(), bytes, offending);
}

bool IsCp1251(QChar c) {
  std::uint8_t byte = 0;
  return CodePageByte(c.unicode(), byte);
}

QValidator::State TCodePageValidator::validate(QString& input, int&) const {
  for (QChar c : input) {
    if (!IsCp1251(c)) return Invalid;
  }
  return Acceptable;
}

}  // namespace kdt
