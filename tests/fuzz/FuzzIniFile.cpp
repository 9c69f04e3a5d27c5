// The settings file format: parsing what was written gives back what was
// parsed, and nothing crashes on any bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const kdt::IniContent first = kdt::IniContent::Parse(text);
  const std::string written = first.Serialize();
  const kdt::IniContent second = kdt::IniContent::Parse(written);
  if (!(second == first) || second.Serialize() != written) std::abort();
  kdt::IniContent edited = second;
  edited.WriteInteger("WINDOW", "LEFT", -5);
  if (edited.ReadInteger("window", "left", 0) != -5) std::abort();
  return 0;
}
