#include "Cp1251.h"

#include "CodePage.h"

namespace kdt {

QString DecodeCp1251(std::string_view bytes) {
  QString text;
  text.reserve(static_cast<qsizetype>(bytes.size()));
  for (char byte : bytes) {
    text += QChar(static_cast<char16_t>(CodePageCharacter(static_cast<std::uint8_t>(byte))));
  }
  return text;
}

bool EncodeCp1251(const QString& text, std::string& bytes) {
  bytes.clear();
  for (QChar c : text) {
    std::uint8_t byte = 0;
    if (!CodePageByte(c.unicode(), byte)) {
      bytes.clear();
      return false;
    }
    bytes += static_cast<char>(byte);
  }
  return true;
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
