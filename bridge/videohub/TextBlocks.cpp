#include "videohub/TextBlocks.h"

namespace bridge {

TextBlocks::Next TextBlocks::Take(TextBlock& block) {
  if (broken_) return Next::kNothing;
  for (;;) {
    const std::size_t end = waiting_.find('\n', read_);
    if (end == std::string::npos) {
      waiting_.erase(0, read_);
      read_ = 0;
      // Room for the "\r" that may end it.
      if (waiting_.size() <= kLongestLine + 1) return Next::kNothing;
      broken_ = true;
      return Next::kLineTooLong;
    }
    std::string_view line(waiting_.data() + read_, end - read_);
    read_ = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > kLongestLine) {
      broken_ = true;
      return Next::kLineTooLong;
    }
    if (!inBlock_) {
      if (line.empty()) continue;
      building_ = TextBlock{std::string(line), {}};
      inBlock_ = true;
      continue;
    }
    if (line.empty()) {
      inBlock_ = false;
      block = std::move(building_);
      building_ = {};
      return Next::kBlock;
    }
    if (building_.lines.size() == kMostLines) {
      broken_ = true;
      return Next::kTooManyLines;
    }
    building_.lines.emplace_back(line);
  }
}

}  // namespace bridge
