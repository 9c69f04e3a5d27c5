#include "swp08/Swp08Messages.h"

namespace bridge {
namespace {

std::uint8_t Byte(char c) {
  return static_cast<std::uint8_t>(c);
}

// Data, count and checksum add up to 0, and the count is the data's.
bool Valid(const std::string& body) {
  if (body.size() < 3) return false;
  if (Byte(body[body.size() - 2]) != body.size() - 2) return false;
  unsigned sum = 0;
  for (char c : body) sum += Byte(c);
  return (sum & 0xFF) == 0;
}

}  // namespace

std::string Swp08Message(std::string_view data) {
  std::string body(data);
  body += static_cast<char>(data.size());
  unsigned sum = 0;
  for (char c : body) sum += Byte(c);
  body += static_cast<char>((0x100 - (sum & 0xFF)) & 0xFF);
  std::string message = {char(kDle), char(kStx)};
  for (char c : body) {
    message += c;
    if (Byte(c) == kDle) message += c;
  }
  return message + char(kDle) + char(kEtx);
}

Swp08Stream::Next Swp08Stream::Take(std::string& data) {
  if (broken_) return Next::kNothing;
  while (read_ < waiting_.size()) {
    const std::uint8_t byte = Byte(waiting_[read_++]);
    if (!afterDle_ && byte == kDle) {
      afterDle_ = true;
      continue;
    }
    const bool escaped = afterDle_;
    afterDle_ = false;
    if (escaped && byte == kStx) {  // a message begins, whatever came before
      inside_ = true;
      body_.clear();
      stray_ = 0;
      continue;
    }
    if (!inside_) {
      // A client's DLE ACK or DLE NAK for what it was sent is no stray.
      if (escaped && (byte == kAck || byte == kNak)) continue;
      if (++stray_ > kMostStray) {
        broken_ = true;
        return Next::kTooStray;
      }
      continue;
    }
    if (escaped && byte == kEtx) {
      inside_ = false;
      if (!Valid(body_)) return Next::kBad;
      data = body_.substr(0, body_.size() - 2);
      return Next::kMessage;
    }
    if (escaped && byte != kDle) {  // a DLE that stands for nothing
      inside_ = false;
      return Next::kBad;
    }
    body_ += static_cast<char>(byte);
    if (body_.size() > kLongestData + 2) {
      broken_ = true;
      return Next::kTooLong;
    }
  }
  waiting_.clear();
  read_ = 0;
  return Next::kNothing;
}

}  // namespace bridge
