#include "TextRules.h"

#include <limits>

namespace kdt {
namespace {

int DigitValue(char c, int base) {
  int digit = -1;
  if (c >= '0' && c <= '9') digit = c - '0';
  if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
  return digit < base ? digit : -1;
}

int RadixOf(std::string_view& text) {
  for (std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
    if (text.starts_with(prefix)) {
      text.remove_prefix(prefix.size());
      return 16;
    }
  }
  return 10;
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
  return text;
}

bool ParseWholeNumber(std::string_view text, std::int32_t& value) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  const int base = RadixOf(text);
  if (text.empty()) return false;
  const std::int64_t limit = std::int64_t(std::numeric_limits<std::int32_t>::max()) + negative;
  std::int64_t magnitude = 0;
  for (char c : text) {
    int digit = DigitValue(c, base);
    if (digit < 0) return false;
    magnitude = magnitude * base + digit;
    if (magnitude > limit) return false;
  }
  value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return true;
}

}  // namespace kdt
