// SW-P-08 messages on the wire: framing, DLE stuffing, the count and the
// checksum, written here from the protocol's layout rather than by the
// face's encoder alone.
#include "swp08/Swp08Messages.h"

#include <gtest/gtest.h>

namespace bridge {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes += static_cast<char>(value);
  return bytes;
}

TEST(Swp08MessagesTest, AMessageIsFramedCountedSummedAndStuffed) {
  // Crosspoint connect, destination 16 (a DLE), source 1: data 02 00 00 10
  // 01, count 05, checksum -(02+10+01+05) = E8; the DLE in the data doubled.
  EXPECT_EQ(Swp08Message(Bytes({0x02, 0x00, 0x00, 0x10, 0x01})),
            Bytes({0x10, 0x02, 0x02, 0x00, 0x00, 0x10, 0x10, 0x01, 0x05, 0xE8, 0x10, 0x03}));
  // A checksum that is a DLE is doubled too: data EF, count 01, sum F0,
  // checksum 10.
  EXPECT_EQ(Swp08Message(Bytes({0xEF})), Bytes({0x10, 0x02, 0xEF, 0x01, 0x10, 0x10, 0x10, 0x03}));
}

TEST(Swp08MessagesTest, MessagesAreReadHoweverTheBytesAreSplit) {
  const std::string first = Bytes({0x02, 0x00, 0x00, 0x10, 0x01});
  const std::string second = Bytes({0x15, 0x00});
  // Between them: the client's DLE ACK, and a stray byte.
  const std::string stream = Swp08Message(first) + Bytes({0x10, 0x06, 0x55}) + Swp08Message(second);
  for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
    Swp08Stream reader;
    std::vector<std::string> taken;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      reader.Append(std::string_view(stream).substr(at, piece));
      std::string data;
      Swp08Stream::Next next;
      while ((next = reader.Take(data)) == Swp08Stream::Next::kMessage) taken.push_back(data);
      ASSERT_EQ(next, Swp08Stream::Next::kNothing);
    }
    EXPECT_EQ(taken, (std::vector<std::string>{first, second})) << "in pieces of " << piece;
  }
}

TEST(Swp08MessagesTest, WhatIsNotAMessageIsToldApart) {
  const std::string good = Swp08Message(Bytes({0x01, 0x00, 0x00, 0x02}));
  std::string badSum = good;
  badSum[badSum.size() - 3] ^= 0x01;
  std::string badCount = Bytes({0x10, 0x02, 0x01, 0x00, 0x03, 0xFC, 0x10, 0x03});
  struct Case {
    const char* what;
    std::string stream;
    Swp08Stream::Next expected;
  };
  const Case cases[] = {
      {"a good one", good, Swp08Stream::Next::kMessage},
      {"a wrong checksum", badSum, Swp08Stream::Next::kBad},
      {"a wrong count", badCount, Swp08Stream::Next::kBad},
      {"a DLE that stands for nothing", Bytes({0x10, 0x02, 0x01, 0x10, 0x41, 0x10, 0x03}),
       Swp08Stream::Next::kBad},
      {"no data", Bytes({0x10, 0x02, 0x00, 0x00, 0x10, 0x03}), Swp08Stream::Next::kBad},
      {"too long", Bytes({0x10, 0x02}) + std::string(300, 'x'), Swp08Stream::Next::kTooLong},
      {"too much outside a message", std::string(1025, 'x'), Swp08Stream::Next::kTooStray},
  };
  for (const Case& c : cases) {
    Swp08Stream reader;
    reader.Append(c.stream);
    std::string data;
    EXPECT_EQ(reader.Take(data), c.expected) << c.what;
  }
}

TEST(Swp08MessagesTest, AfterABadMessageTheNextIsRead) {
  Swp08Stream reader;
  reader.Append(Bytes({0x10, 0x02, 0x01, 0x00, 0x00, 0x02, 0x04, 0x00, 0x10, 0x03}) +
                Swp08Message(Bytes({0x15, 0x00})));
  std::string data;
  EXPECT_EQ(reader.Take(data), Swp08Stream::Next::kBad);
  EXPECT_EQ(reader.Take(data), Swp08Stream::Next::kMessage);
  EXPECT_EQ(data, Bytes({0x15, 0x00}));
}

TEST(Swp08MessagesTest, ABrokenStreamReadsNothingMore) {
  Swp08Stream reader;
  reader.Append(std::string(1025, 'x'));
  std::string data;
  ASSERT_EQ(reader.Take(data), Swp08Stream::Next::kTooStray);
  reader.Append(Swp08Message(Bytes({0x15, 0x00})));
  EXPECT_EQ(reader.Take(data), Swp08Stream::Next::kNothing);
}

// Acknowledgements between messages are the link's own, however many.
TEST(Swp08MessagesTest, AcknowledgementsAreNoStrayBytes) {
  Swp08Stream reader;
  std::string acks;
  for (int i = 0; i < 2000; ++i) acks += Bytes({0x10, 0x06});
  reader.Append(acks + Swp08Message(Bytes({0x15, 0x00})));
  std::string data;
  EXPECT_EQ(reader.Take(data), Swp08Stream::Next::kMessage);
}

}  // namespace
}  // namespace bridge
