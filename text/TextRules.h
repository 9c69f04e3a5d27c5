// The text rules that every layer reading text shares (the address text, the
// settings file, a relay's name, the bridge's file): what counts as a blank,
// and what counts as a whole number.
#pragma once

#include <cstdint>
#include <string_view>

namespace kdt {

// Strips leading and trailing characters of code 32 or lower: blanks and
// control characters.
std::string_view TrimBlanks(std::string_view text);

// A whole number: an optional sign, then decimal digits (leading zeros stay
// decimal) or hexadecimal digits behind "$", "x", "X", "0x" or "0X", and
// nothing else. A value outside the signed 32-bit range is not a whole number,
// so it can never wrap around into a small one.
bool ParseWholeNumber(std::string_view text, std::int32_t& value);

}  // namespace kdt
