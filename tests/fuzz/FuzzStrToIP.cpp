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
  if (value != kdt::PackOctets(octets)) std::abort();
  const std::string plain = kdt::IPToStr(value);
  kdt::OctetArray again;
  if (!kdt::StrToIPBytes(plain, again) || again != octets) std::abort();
  if (valid && kdt::IPToStr(kdt::StrToIP(plain)) != plain) std::abort();
  return 0;
}
