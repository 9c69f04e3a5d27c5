// Address text: never crashes, and whatever it accepts converts back to the
// same value in plain form.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "UnitProcIP.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  kdt::OctetArray octets;
  const bool valid = kdt::StrToIPBytes(text, octets);
  const std::uint32_t value = kdt::StrToIP(text);
  const std::uint32_t fromOctets = std::uint32_t(octets[0]) | std::uint32_t(octets[1]) << 8 |
                                   std::uint32_t(octets[2]) << 16 | std::uint32_t(octets[3]) << 24;
  if (value != fromOctets) std::abort();
  const std::string plain = kdt::IPToStr(value);
  kdt::OctetArray again;
  if (!kdt::StrToIPBytes(plain, again) || again != octets) std::abort();
  if (valid && kdt::IPToStr(kdt::StrToIP(plain)) != plain) std::abort();
  return 0;
}
