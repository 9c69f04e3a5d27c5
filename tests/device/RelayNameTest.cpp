#include "RelayName.h"

#include <gtest/gtest.h>

namespace {

using namespace std::string_view_literals;

// Every way of renaming takes a name by this one rule.
TEST(RelayName, TheRuleOfEveryRename) {
  struct Case {
    std::string_view typed;
    std::string_view bytes;    // what goes to the unit, when taken
    std::string_view problem;  // why not, when refused
  };
  const Case cases[] = {
      {"Studio 2", "Studio 2", ""},
      {" \t Studio 2 \x01", "Studio 2", ""},  // ends stripped of blanks and controls
      {"", "", ""},                           // an empty name is a name
      {"Студия №2",
       "\xD1\xF2\xF3\xE4\xE8\xFF \xB9"
       "2",
       ""},
      {"abcdefghijklmnopqrstuvwx", "abcdefghijklmnopqrstuvwx", ""},  // 24: the longest
      {"abcdefghijklmnopqrstuvwxy", "", "25 characters, the unit takes 24"},
      {"ЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖ",
       "\xC6\xC6\xC6\xC6\xC6\xC6\xC6\xC6\xC6\xC6\xC6\xC6"
       "\xC6\xC6\xC6\xC6\xC6\xC6\xC6\xC6\xC6\xC6\xC6\xC6",
       ""},
      {"a\x1B[2Jb", "", "control characters are not taken"},
      {"a\x7F"
       "b",
       "", "control characters are not taken"},
      {"a\xC2\x98"
       "b",
       "", "control characters are not taken"},  // U+0098: the undefined byte
      {"中文", "", "the unit's code page (windows-1251) has no \"中\" (U+4E2D)"},
      {"bad \xFF", "", "not UTF-8"},
  };
  for (const Case& c : cases) {
    std::string bytes = "left over", problem;
    const bool taken = kdt::EncodeRelayName(c.typed, bytes, problem);
    EXPECT_EQ(taken, c.problem.empty()) << c.typed;
    EXPECT_EQ(bytes, c.bytes) << c.typed;
    if (!taken) {
      EXPECT_EQ(problem, c.problem) << c.typed;
    }
  }
}

TEST(RelayName, WhatAPersonMayType) {
  EXPECT_TRUE(kdt::IsNameCharacter(U'Ж'));
  EXPECT_TRUE(kdt::IsNameCharacter(U'€'));
  EXPECT_TRUE(kdt::IsNameCharacter(U' '));
  EXPECT_FALSE(kdt::IsNameCharacter(U'\t'));
  EXPECT_FALSE(kdt::IsNameCharacter(U'\u0098'));
  EXPECT_FALSE(kdt::IsNameCharacter(U'中'));
  EXPECT_FALSE(kdt::IsNameCharacter(U'\0'));
}

// A set-name field from a client of the bridge: the name, then NUL bytes. A
// reported name sent back may hold any byte.
TEST(RelayName, TheFieldOfASetNameCommand) {
  const std::string padded = "Studio" + std::string(18, '\0');
  EXPECT_TRUE(kdt::IsSendableNameField(padded));
  EXPECT_TRUE(kdt::IsSendableNameField(std::string(24, 'x')));
  EXPECT_TRUE(kdt::IsSendableNameField(std::string(24, '\0')));
  EXPECT_TRUE(kdt::IsSendableNameField("A\x01\x98\xFF" + std::string(20, '\0')));
  EXPECT_FALSE(kdt::IsSendableNameField(std::string("Stu\0dio"sv) + std::string(17, '\0')));
  std::string hidden = padded;
  hidden[20] = 'x';  // bytes behind the name's end
  EXPECT_FALSE(kdt::IsSendableNameField(hidden));
  EXPECT_FALSE(kdt::IsSendableNameField(std::string(23, 'x')));
}

// A name of the unit's bytes, as a client of the bridge's endpoint sends it:
// any byte but NUL, at most the field's 24.
TEST(RelayName, TheUnitsBytesThatFitTheField) {
  EXPECT_TRUE(kdt::FitsNameField(""));
  EXPECT_TRUE(kdt::FitsNameField(std::string(24, 'x')));
  EXPECT_TRUE(kdt::FitsNameField("\x1B[31m\x98\xFF"));
  EXPECT_FALSE(kdt::FitsNameField(std::string(25, 'x')));
  EXPECT_FALSE(kdt::FitsNameField("Stu\0dio"sv));
}

}  // namespace
