#include "Cp1251.h"

#include "CodePage.h"
#include "RelayName.h"

namespace kdt {

QString DecodeCp1251(std::string_view bytes) {
  return QString::fromStdString(DecodeToUtf8(bytes));
}

bool EncodeCp1251(const QString& text, std::string& bytes) {
  char32_t offending = 0;
  return EncodeFromUtf8(text.toStdString(), bytes, offending);
}

QValidator::State TNameValidator::validate(QString& input, int&) const {
  for (QChar c : input) {
    if (!IsNameCharacter(c.unicode()) && !tolerated_.contains(c)) return Invalid;
  }
  return Acceptable;
}

}  // namespace kdt
