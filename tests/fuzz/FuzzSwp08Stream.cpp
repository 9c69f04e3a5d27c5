// A client's byte stream at a unit's SW-P-08 face, split anyhow: the
// messages taken are the same however the bytes come, each a message the
// protocol can carry, framed again to itself, and nothing is taken once the
// stream is broken.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "swp08/Swp08Messages.h"

namespace {

using bridge::Swp08Stream;

// What was taken: each message's data, "NAK" for a bad one.
std::vector<std::string> Read(std::string_view bytes, std::size_t piece, bool& broken) {
  Swp08Stream stream;
  std::vector<std::string> taken;
  broken = false;
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    stream.Append(bytes.substr(at, piece));
    for (;;) {
      std::string data;
      const Swp08Stream::Next next = stream.Take(data);
      if (next == Swp08Stream::Next::kNothing) break;
      if (next == Swp08Stream::Next::kBad) {
        taken.push_back("NAK");
        continue;
      }
      if (next != Swp08Stream::Next::kMessage) {
        broken = true;
        stream.Append(bridge::Swp08Message("\x15"));
        if (stream.Take(data) != Swp08Stream::Next::kNothing) std::abort();
        return taken;
      }
      taken.push_back(data);
    }
  }
  return taken;
}

}  // namespace

// The first byte sets how the rest is split into the pieces that arrive.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = std::size_t(data[0] % 32) + 1;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  bool wholeBroken = false, piecesBroken = false;
  const std::vector<std::string> whole = Read(bytes, bytes.size() + 1, wholeBroken);
  if (Read(bytes, piece, piecesBroken) != whole || piecesBroken != wholeBroken) std::abort();
  for (const std::string& message : whole) {
    if (message == "NAK") continue;
    if (message.empty() || message.size() > Swp08Stream::kLongestData) std::abort();
    Swp08Stream again;
    again.Append(bridge::Swp08Message(message));
    std::string read;
    if (again.Take(read) != Swp08Stream::Next::kMessage || read != message) std::abort();
  }
  return 0;
}
