// A client's bytes at the endpoint, taken frame by frame however they come.
#include "endpoint/ClientStream.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using bridge::ClientStream;
using Next = ClientStream::Next;

std::vector<std::uint8_t> Joined(const std::vector<kdt::Frame>& frames) {
  std::vector<std::uint8_t> bytes;
  for (const kdt::Frame& frame : frames) bytes.insert(bytes.end(), frame.begin(), frame.end());
  return bytes;
}

// Whole, split at every byte, or several in one read: the same frames.
TEST(ClientStream, FramesComeWholeHoweverTheBytesAreSplit) {
  const std::vector<kdt::Frame> sent = {kdt::PollFrame(), kdt::SetInputFrame(2, 3),
                                        kdt::SetNameFrame(1, "Studio"), kdt::GoodbyeFrame()};
  const std::vector<std::uint8_t> bytes = Joined(sent);
  for (std::size_t split = 1; split <= bytes.size(); ++split) {
    ClientStream stream;
    std::vector<kdt::Frame> taken;
    for (std::size_t at = 0; at < bytes.size(); at += split) {
      stream.Append(reinterpret_cast<const char*>(bytes.data() + at),
                    std::min(split, bytes.size() - at));
      kdt::Frame frame;
      kdt::ClientFrame read;
      while (stream.Take(frame, read) == Next::kFrame) taken.push_back(frame);
      EXPECT_EQ(stream.InsideFrame(), stream.Waiting() != 0) << split;
    }
    EXPECT_EQ(taken, sent) << "split every " << split;
  }
}

// What the console never sends breaks the stream at that frame.
TEST(ClientStream, WhatTheConsoleNeverSendsIsNotValid) {
  const std::vector<std::vector<std::uint8_t>> invalid = {
      {0x04, 0x02, 0x02, 0x01, 0x00},                // checksum
      {0x02, 0x07, 0xF7},                            // unknown code
      {0x01, 0x00},                                  // no code at all
      {0x03, 0x02, 0x02, 0xFB},                      // set-input too short
      {0x02, 0x02, 0xFE},                            // set-input with nothing to set
      kdt::SetInputFrame(3, 1),                      // no INPUT 3
      kdt::SetInputFrame(1, 0),                      // no relay 0
      kdt::SetInputFrame(2, 255),                    // no relay 255
      kdt::SetNameFrame(4, "x"),                     // no relay 4
      kdt::SetNameFrame(1, std::string("a\0b", 3)),  // bytes behind the name's end
  };
  for (const auto& bytes : invalid) {
    ClientStream stream;
    stream.Append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    kdt::Frame frame;
    kdt::ClientFrame read;
    EXPECT_EQ(stream.Take(frame, read), Next::kInvalid) << kdt::FrameHex(bytes);
    EXPECT_EQ(frame, bytes);
  }
}

// A client may send ahead of its replies, but only so much; frames waiting
// their turn are not a frame stalled half-way.
TEST(ClientStream, WhatWaitsItsTurnIsBounded) {
  ClientStream stream;
  const kdt::Frame poll = kdt::PollFrame();
  while (!stream.Flooded()) {
    EXPECT_FALSE(stream.InsideFrame());
    stream.Append(reinterpret_cast<const char*>(poll.data()), poll.size());
  }
  EXPECT_GT(stream.Waiting(), ClientStream::kMostWaiting);
  stream.Append("\x1C", 1);  // a set-name's length, and nothing of the rest
  kdt::Frame frame;
  kdt::ClientFrame read;
  while (stream.Take(frame, read) == Next::kFrame) {
  }
  EXPECT_TRUE(stream.InsideFrame());
}

}  // namespace
