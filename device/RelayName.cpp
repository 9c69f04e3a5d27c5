#include "RelayName.h"

#include <algorithm>

#include "CodePage.h"
#include "TextRules.h"

namespace kdt {

bool IsNameCharacter(char32_t c) {
  std::uint8_t byte = 0;
  return !IsControlCharacter(c) && CodePageByte(c, byte);
}

bool EncodeRelayName(std::string_view utf8, std::string& bytes, std::string& problem) {
  char32_t offending = 0;
  std::string encoded;
  bytes.clear();
  if (!EncodeFromUtf8(utf8, encoded, offending)) {
    problem = offending == kNotUtf8
                  ? "not UTF-8"
                  : "the unit's code page (windows-1251) has no " + CharacterName(offending);
    return false;
  }
  const std::string_view name = TrimBlanks(encoded);
  if (std::any_of(name.begin(), name.end(), [](char c) {
        return IsControlCharacter(CodePageCharacter(static_cast<std::uint8_t>(c)));
      })) {
    problem = "control characters are not taken";
    return false;
  }
  if (name.size() > kNameLength) {
    problem =
        std::to_string(name.size()) + " characters, the unit takes " + std::to_string(kNameLength);
    return false;
  }
  bytes = name;
  return true;
}

bool FitsNameField(std::string_view bytes) {
  return bytes.size() <= kNameLength && bytes.find('\0') == std::string_view::npos;
}

bool IsSendableNameField(std::string_view field) {
  const std::size_t end = std::min(field.find('\0'), field.size());
  return field.size() == kNameLength && FitsNameField(field.substr(0, end)) &&
         field.find_first_not_of('\0', end) == std::string_view::npos;
}

}  // namespace kdt
