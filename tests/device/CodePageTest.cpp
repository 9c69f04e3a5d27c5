#include "CodePage.h"

#include <gtest/gtest.h>

namespace {

TEST(CodePage, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 1; b <= 255; ++b) all += static_cast<char>(b);
  const std::string text = kdt::DecodeToUtf8(all);
  std::string back;
  char32_t offending = 0;
  ASSERT_TRUE(kdt::EncodeFromUtf8(text, back, offending));
  EXPECT_EQ(back, all);
}

TEST(CodePage, CyrillicAndTheUndefinedByte) {
  EXPECT_EQ(kdt::DecodeToUtf8("\xD1\xF2\xF3\xE4\xE8\xFF"), "Студия");
  EXPECT_EQ(kdt::DecodeToUtf8("\xA8\xB9"), "Ё№");
  EXPECT_EQ(kdt::CodePageCharacter(0x98), U'\u0098');  // left undefined by the code page
  std::string bytes;
  char32_t offending = 0;
  ASSERT_TRUE(kdt::EncodeFromUtf8("Эфир «А»", bytes, offending));
  EXPECT_EQ(bytes, "\xDD\xF4\xE8\xF0 \xAB\xC0\xBB");
}

TEST(CodePage, WhatHasNoByteIsNamed) {
  using namespace std::string_view_literals;
  struct Case {
    std::string_view utf8;
    char32_t offending;
  };
  const Case cases[] = {
      {"a\xE4\xB8\xAD b"sv, U'\u4E2D'},
      {"\xF0\x9F\x98\x80"sv, U'\U0001F600'},
      {"bad \xC3"sv, U'\uFFFD'},
      {"bad \xFF"sv, U'\uFFFD'},
      {"nul\0"sv, U'\0'},  // a NUL would end the name at the unit
  };
  for (const Case& c : cases) {
    std::string bytes = "left over";
    char32_t offending = 1;
    EXPECT_FALSE(kdt::EncodeFromUtf8(c.utf8, bytes, offending)) << c.utf8;
    EXPECT_EQ(offending, c.offending) << c.utf8;
    EXPECT_TRUE(bytes.empty()) << c.utf8;
  }
}

}  // namespace
