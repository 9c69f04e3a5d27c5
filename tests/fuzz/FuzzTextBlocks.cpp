// A client's byte stream at a unit's 9990 text face, split anyhow: the
// blocks taken are the same however the bytes come, each within the
// bounds, and nothing is taken once the stream is broken.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "videohub/TextBlocks.h"

namespace {

using bridge::TextBlock;
using bridge::TextBlocks;

// Every block taken, and how the stream ended.
std::vector<TextBlock> Read(std::string_view bytes, std::size_t piece, TextBlocks::Next& end) {
  TextBlocks blocks;
  std::vector<TextBlock> taken;
  end = TextBlocks::Next::kNothing;
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    blocks.Append(bytes.substr(at, piece));
    TextBlock block;
    while ((end = blocks.Take(block)) == TextBlocks::Next::kBlock) taken.push_back(block);
    if (end != TextBlocks::Next::kNothing) {
      blocks.Append("PING:\n\n");
      if (blocks.Take(block) != TextBlocks::Next::kNothing) std::abort();
      return taken;
    }
  }
  return taken;
}

void CheckBounds(const TextBlock& block) {
  if (block.header.empty() || block.lines.size() > TextBlocks::kMostLines) std::abort();
  for (const std::string& line : block.lines) {
    if (line.empty() || line.size() > TextBlocks::kLongestLine ||
        line.find('\n') != std::string::npos) {
      std::abort();
    }
  }
}

}  // namespace

// The first byte sets how the rest is split into the pieces that arrive.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = std::size_t(data[0] % 32) + 1;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  TextBlocks::Next wholeEnd, piecesEnd;
  const std::vector<TextBlock> whole = Read(bytes, bytes.size() + 1, wholeEnd);
  const std::vector<TextBlock> pieces = Read(bytes, piece, piecesEnd);
  if (whole.size() != pieces.size()) std::abort();
  for (std::size_t i = 0; i < whole.size(); ++i) {
    CheckBounds(whole[i]);
    if (whole[i].header != pieces[i].header || whole[i].lines != pieces[i].lines) std::abort();
  }
  // A line too long is seen whole or in pieces; either way the stream breaks.
  if ((wholeEnd == TextBlocks::Next::kNothing) != (piecesEnd == TextBlocks::Next::kNothing)) {
    std::abort();
  }
  return 0;
}
