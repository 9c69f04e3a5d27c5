// SW-P-08 messages on a byte stream, as the General Switcher protocol lays
// them out: DLE STX, the data (a command byte and its bytes), the byte
// count of the data, the two's-complement checksum of data and count, DLE
// ETX; a DLE inside is sent twice. What a client sends is taken message by
// message from the bytes as they come, split anyhow. A client's DLE ACK
// and DLE NAK between messages are nothing; other bytes outside a message
// are nothing too, up to a bound;
// a message too long to be one of the protocol's, or too much outside one,
// breaks the stream: nothing after it is read. Free of Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bridge {

constexpr std::uint8_t kDle = 0x10;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;

// The message for `data` (a command byte and its bytes), stuffed.
std::string Swp08Message(std::string_view data);

class Swp08Stream {
 public:
  // The protocol's messages are at most 128 bytes of data; a name
  // response is the longest this face meets.
  static constexpr std::size_t kLongestData = 255;
  static constexpr std::size_t kMostStray = 1024;

  enum class Next {
    kNothing,   // no whole message yet
    kMessage,   // `data` holds the next one, its count and checksum good
    kBad,       // a message whose count or checksum is wrong: it gets DLE NAK
    kTooLong,   // the stream is broken
    kTooStray,  // the stream is broken
  };
  void Append(std::string_view bytes) { waiting_.append(bytes); }
  Next Take(std::string& data);

 private:
  std::string waiting_;
  std::size_t read_ = 0;
  std::string body_;       // of the message begun, unstuffed
  bool inside_ = false;    // after DLE STX
  bool afterDle_ = false;  // the byte before was a DLE
  std::size_t stray_ = 0;
  bool broken_ = false;
};

}  // namespace bridge
