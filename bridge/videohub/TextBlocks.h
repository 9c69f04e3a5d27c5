// What a client of the 9990 text face sends, taken block by block from the
// bytes as they come, split anyhow: a block is a header line and its lines,
// closed by an empty line. Lines end in "\n"; a "\r" before it is dropped.
// Empty lines between blocks are nothing. A line over 1 KiB, or a block of
// more than 64 lines, breaks the stream: nothing after it is read. Free of
// Qt.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace bridge {

struct TextBlock {
  std::string header;  // "VIDEO OUTPUT ROUTING:"
  std::vector<std::string> lines;
};

class TextBlocks {
 public:
  static constexpr std::size_t kLongestLine = 1024;
  static constexpr std::size_t kMostLines = 64;

  enum class Next {
    kNothing,       // no whole block yet
    kBlock,         // `block` holds the next one
    kLineTooLong,   // the stream is broken
    kTooManyLines,  // the stream is broken
  };
  void Append(std::string_view bytes) { waiting_.append(bytes); }
  Next Take(TextBlock& block);

 private:
  std::string waiting_;
  std::size_t read_ = 0;  // of waiting_, taken into building_
  TextBlock building_;
  bool inBlock_ = false;
  bool broken_ = false;
};

}  // namespace bridge
