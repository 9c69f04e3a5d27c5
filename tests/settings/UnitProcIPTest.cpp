#include "UnitProcIP.h"

#include <gtest/gtest.h>

#include <random>

#include "TextRules.h"

namespace {

constexpr std::uint32_t Value(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return kdt::PackOctets({a, b, c, d});
}

struct AddressCase {
  std::string text;
  bool valid;
  std::uint32_t value;
};

TEST(StrToIPBytes, TableOfTexts) {
  const AddressCase cases[] = {
      {"192.168.0.200", true, 0xC800A8C0},
      {" \t10.0.0.1 \t", true, Value(10, 0, 0, 1)},
      {"10 . 0 . 0 . 1", true, Value(10, 0, 0, 1)},
      {"10 0 0 1", true, Value(10, 0, 0, 1)},
      {"10\t0\t0\t1", true, Value(10, 0, 0, 1)},  // control characters separate as blanks do
      {"010.001.000.001", true, Value(10, 1, 0, 1)},
      {"$0A.0.0.$01", true, Value(10, 0, 0, 1)},
      {"0x0A.0.0.1", true, Value(10, 0, 0, 1)},
      {"x0A.X0.0X0.+1", true, Value(10, 0, 0, 1)},
      {"\"10\".\"0\".\"0\".\"1\"", true, Value(10, 0, 0, 1)},
      {"255.255.255.255", true, 0xFFFFFFFF},
      {"10.0.0", false, 0},
      {"10.0.0.1.", false, 0},
      {".10.0.0", false, 0},
      {"10.0..1", false, Value(10, 0, 0, 0)},
      {"10.0.0.256", false, Value(10, 0, 0, 0)},
      {"-1.2.3.4", false, 0},
      {"10.abc.0.1", false, Value(10, 0, 0, 0)},
      {"10.300.0.1", false, Value(10, 0, 0, 0)},
      {"1.2.3.-0", true, Value(1, 2, 3, 0)},
      {"10.4294967306.0.1", false, Value(10, 0, 0, 0)},  // 2^32 + 10 never wraps to 10
      {"1.2.$.4", false, Value(1, 2, 0, 0)},             // a prefix without digits
      {"1.2.3.4x", false, Value(1, 2, 3, 0)},
      {"", false, 0},
      {"   \t ", false, 0},
      {"\"10.0.0.1\"", false, 0},
      {"\"1\"\"\".2.3.4", false, 0},  // the first piece is 1" after unquoting
      {"\"1\"\"2\".3.4", false, 0},   // a doubled quote inside quotes: the piece is 1"2
  };
  for (const AddressCase& c : cases) {
    kdt::OctetArray octets{9, 9, 9, 9};
    EXPECT_EQ(kdt::StrToIPBytes(c.text, octets), c.valid) << c.text;
    EXPECT_EQ(kdt::StrToIP(c.text), c.value) << c.text;
  }
}

TEST(StrToIPBytes, TextWithAnEmbeddedNulEndsThere) {
  std::string text("1.2.3.4\0.5", 10);
  EXPECT_EQ(kdt::StrToIP(text), Value(1, 2, 3, 4));
}

TEST(IPToStr, WritesPlainDecimalOctetsFirstByteFirst) {
  EXPECT_EQ(kdt::IPToStr(0xC800A8C0), "192.168.0.200");
  EXPECT_EQ(kdt::IPToStr(0), "0.0.0.0");
  EXPECT_EQ(kdt::IPToStr(0xFFFFFFFF), "255.255.255.255");
  EXPECT_EQ(kdt::IPToStr(kdt::StrToIP("010.001.000.001")), "10.1.0.1");
  EXPECT_EQ(kdt::IPToStrFmt(Value(1, 2, 3, 4), "%03d"), "001.002.003.004");
}

TEST(IPToStr, RoundTripsEveryValue) {
  std::mt19937 random(212);
  std::vector<std::uint32_t> values = {0, 1, 0xFF, 0x100, 0xFFFFFFFF, 0x80000000, 0x7FFFFFFF};
  for (int i = 0; i < 20000; ++i) values.push_back(std::uint32_t(random()));
  for (std::uint32_t value : values) {
    ASSERT_EQ(kdt::StrToIP(kdt::IPToStr(value)), value) << value;
  }
}

TEST(ParseWholeNumber, Forms) {
  const std::pair<const char*, std::int64_t> good[] = {
      {"0", 0},
      {"-5", -5},
      {"+7", 7},
      {"0x20", 32},
      {"$20", 32},
      {"X1f", 31},
      {"-$10", -16},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483648LL},
      {"0007", 7},
  };
  for (const auto& [text, expected] : good) {
    std::int32_t value = 0;
    EXPECT_TRUE(kdt::ParseWholeNumber(text, value)) << text;
    EXPECT_EQ(value, expected) << text;
  }
  for (const char* text : {"", "-", "$", "0x", "abc", "12a", " 1", "1 ", "2147483648",
                           "-2147483649", "$FFFFFFFF", "1.0", "--1", "+-1", "0x-1"}) {
    std::int32_t value = 0;
    EXPECT_FALSE(kdt::ParseWholeNumber(text, value)) << text;
  }
}

}  // namespace
