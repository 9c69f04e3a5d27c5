// Dotted IPv4 address text and the 32-bit address value the console keeps:
// the first number of the text in the value's lowest byte. Invalid text is
// never reported: it yields a value with some or all octets 0.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "AddressValue.h"

namespace kdt {

// True when the text is a valid address; the octets are written in any case:
// all 0 unless there are exactly four pieces, else 0 from the first bad piece on.
bool StrToIPBytes(std::string_view text, OctetArray& octets);
std::uint32_t StrToIP(std::string_view text);
// `octetFormat` is a printf format for one int, such as "%d".
std::string IPToStrFmt(std::uint32_t value, const char* octetFormat);
std::string IPToStr(std::uint32_t value);

}  // namespace kdt
