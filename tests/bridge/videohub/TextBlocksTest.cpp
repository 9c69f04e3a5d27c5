// The 9990 face's reading of a client's stream: blocks from bytes split
// anyhow, and the bounds that break it.
#include "videohub/TextBlocks.h"

#include <gtest/gtest.h>

namespace bridge {
namespace {

std::vector<TextBlock> AllBlocks(TextBlocks& blocks, TextBlocks::Next& last) {
  std::vector<TextBlock> taken;
  TextBlock block;
  while ((last = blocks.Take(block)) == TextBlocks::Next::kBlock) taken.push_back(block);
  return taken;
}

TEST(TextBlocksTest, BlocksComeWholeHoweverTheBytesAreSplit) {
  const std::string stream =
      "\n\r\nVIDEO OUTPUT ROUTING:\r\n0 1\n2 0\n\nPING:\n\nOUTPUT LABELS:\n1 Main \xD0\xB0\n\n";
  for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
    TextBlocks blocks;
    std::vector<TextBlock> taken;
    TextBlocks::Next last = TextBlocks::Next::kNothing;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      blocks.Append(std::string_view(stream).substr(at, piece));
      for (const TextBlock& block : AllBlocks(blocks, last)) taken.push_back(block);
      ASSERT_EQ(last, TextBlocks::Next::kNothing);
    }
    ASSERT_EQ(taken.size(), 3u) << "in pieces of " << piece;
    EXPECT_EQ(taken[0].header, "VIDEO OUTPUT ROUTING:");
    EXPECT_EQ(taken[0].lines, (std::vector<std::string>{"0 1", "2 0"}));
    EXPECT_EQ(taken[1].header, "PING:");
    EXPECT_TRUE(taken[1].lines.empty());
    EXPECT_EQ(taken[2].lines, (std::vector<std::string>{"1 Main \xD0\xB0"}));
  }
}

TEST(TextBlocksTest, ABlockWaitsForItsEmptyLine) {
  TextBlocks blocks;
  blocks.Append("VIDEO OUTPUT ROUTING:\n0 1\n");
  TextBlock block;
  EXPECT_EQ(blocks.Take(block), TextBlocks::Next::kNothing);
  blocks.Append("\n");
  EXPECT_EQ(blocks.Take(block), TextBlocks::Next::kBlock);
  EXPECT_EQ(block.lines, (std::vector<std::string>{"0 1"}));
}

TEST(TextBlocksTest, TheBoundsBreakTheStreamAndNothingAfterIsRead) {
  struct Case {
    const char* what;
    std::string stream;
    TextBlocks::Next expected;
  };
  std::string sixtyFive = "VIDEO OUTPUT ROUTING:\n";
  for (int line = 0; line < 65; ++line) sixtyFive += "0 0\n";
  std::string sixtyFour = "VIDEO OUTPUT ROUTING:\n";
  for (int line = 0; line < 64; ++line) sixtyFour += "0 0\n";
  const Case cases[] = {
      {"a line of 1 KiB", "PING:\n" + std::string(1024, 'x') + "\n\n", TextBlocks::Next::kBlock},
      {"a line over 1 KiB", "PING:\n" + std::string(1025, 'x') + "\n\n",
       TextBlocks::Next::kLineTooLong},
      {"a line of 1 KiB with its CR, not ended yet", "PING:\n" + std::string(1024, 'x') + "\r",
       TextBlocks::Next::kNothing},
      {"a line over 1 KiB, not ended", std::string(1026, 'x'), TextBlocks::Next::kLineTooLong},
      {"64 lines", sixtyFour + "\n", TextBlocks::Next::kBlock},
      {"65 lines", sixtyFive + "\n", TextBlocks::Next::kTooManyLines},
  };
  for (const Case& c : cases) {
    TextBlocks blocks;
    blocks.Append(c.stream);
    TextBlock block;
    EXPECT_EQ(blocks.Take(block), c.expected) << c.what;
    if (c.expected == TextBlocks::Next::kBlock || c.expected == TextBlocks::Next::kNothing) {
      continue;
    }
    blocks.Append("PING:\n\n");
    EXPECT_EQ(blocks.Take(block), TextBlocks::Next::kNothing) << c.what << ": read after";
  }
}

}  // namespace
}  // namespace bridge
