// Dotted IPv4 address text and the 32-bit address value the console keeps:
// the first number of the text in the value's lowest byte. Invalid text is
// never reported: it yields a value with some or all octets 0.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kdt {

using OctetArray = std::array<std::uint8_t, 4>;

// A whole number: an optional sign, then decimal digits (leading zeros stay
// decimal) or hexadecimal digits behind "$", "x", "X", "0x" or "0X", and
// nothing else. A value outside the signed 32-bit range is not a whole number,
// so it can never wrap around into a small one.
bool ParseWholeNumber(std::string_view text, std::int32_t& value);

// Strips leading and trailing characters of code 32 or lower.
std::string_view TrimBlanks(std::string_view text);

// True when the text is a valid address; the octets are written in any case:
// all 0 unless there are exactly four pieces, else 0 from the first bad piece on.
bool StrToIPBytes(std::string_view text, OctetArray& octets);
std::uint32_t StrToIP(std::string_view text);
// `octetFormat` is a printf format for one int, such as "%d".
std::string IPToStrFmt(std::uint32_t value, const char* octetFormat);
std::string IPToStr(std::uint32_t value);

}  // namespace kdt
