#include "RouterPeers.h"

#include <chrono>

namespace testsupport {
namespace {

constexpr char kDle = 0x10, kStx = 0x02, kEtx = 0x03, kAckByte = 0x06, kNakByte = 0x15;

}  // namespace

std::optional<HubBlock> VideohubPeer::Next(int timeoutMs) {
  const auto until = MsFromNow(timeoutMs);
  for (;;) {
    // Empty lines between blocks are nothing.
    while (buffer_.starts_with("\n")) buffer_.erase(0, 1);
    const std::size_t end = buffer_.find("\n\n");
    if (end != std::string::npos) {
      HubBlock block;
      std::size_t at = 0;
      const std::string text = buffer_.substr(0, end + 1);
      buffer_.erase(0, end + 2);
      for (std::size_t eol; (eol = text.find('\n', at)) != std::string::npos; at = eol + 1) {
        const std::string line = text.substr(at, eol - at);
        if (block.header.empty()) {
          block.header = line;
        } else {
          block.lines.push_back(line);
        }
      }
      return block;
    }
    if (!Fill(MsLeft(until))) return std::nullopt;
  }
}

std::optional<HubBlock> VideohubPeer::NextOf(const std::string& header, int timeoutMs) {
  const auto until = MsFromNow(timeoutMs);
  for (;;) {
    std::optional<HubBlock> block = Next(MsLeft(until));
    if (!block || block->header == header) return block;
  }
}

std::vector<HubBlock> VideohubPeer::Dump(int timeoutMs) {
  const auto until = MsFromNow(timeoutMs);
  std::vector<HubBlock> blocks;
  while (std::optional<HubBlock> block = Next(MsLeft(until))) {
    blocks.push_back(*block);
    if (block->header == "VIDEO OUTPUT ROUTING:") break;
  }
  return blocks;
}

bool VideohubPeer::Quiet(int ms) {
  return !Next(ms).has_value();
}

std::string Swp08Frame(const std::vector<int>& data) {
  std::string body;
  for (int value : data) body += static_cast<char>(value);
  body += static_cast<char>(data.size());
  int sum = 0;
  for (char c : body) sum += static_cast<unsigned char>(c);
  body += static_cast<char>(-sum & 0xFF);
  std::string frame = {kDle, kStx};
  for (char c : body) {
    frame += c;
    if (c == kDle) frame += kDle;
  }
  return frame + kDle + kEtx;
}

std::optional<Swp08Item> Swp08Peer::Next(int timeoutMs) {
  const auto until = MsFromNow(timeoutMs);
  for (;;) {
    if (buffer_.size() >= 2 && buffer_[0] == kDle &&
        (buffer_[1] == kAckByte || buffer_[1] == kNakByte)) {
      const Swp08Item item{buffer_[1] == kAckByte ? Swp08Item::kAck : Swp08Item::kNak, ""};
      buffer_.erase(0, 2);
      return item;
    }
    if (buffer_.size() >= 2 && buffer_[0] == kDle && buffer_[1] == kStx) {
      std::string body;
      for (std::size_t at = 2; at + 1 < buffer_.size(); ++at) {
        if (buffer_[at] != kDle) {
          body += buffer_[at];
          continue;
        }
        if (buffer_[at + 1] == kDle) {
          body += kDle;
          ++at;
          continue;
        }
        if (buffer_[at + 1] != kEtx) break;  // not one of the protocol's
        buffer_.erase(0, at + 2);
        int sum = 0;
        for (char c : body) sum += static_cast<unsigned char>(c);
        const bool good = body.size() >= 3 && (sum & 0xFF) == 0 &&
                          static_cast<unsigned char>(body[body.size() - 2]) == body.size() - 2;
        if (!good) return Swp08Item{Swp08Item::kNak, body};
        return Swp08Item{Swp08Item::kMessage, body.substr(0, body.size() - 2)};
      }
    }
    if (!Fill(MsLeft(until))) return std::nullopt;
  }
}

std::optional<Swp08Item> Swp08Peer::NextOf(std::uint8_t command, int timeoutMs) {
  const auto until = MsFromNow(timeoutMs);
  for (;;) {
    std::optional<Swp08Item> item = Next(MsLeft(until));
    if (!item || (item->kind == Swp08Item::kMessage && item->Command() == command)) return item;
  }
}

bool Swp08Peer::Quiet(int ms) {
  return !Next(ms).has_value();
}

}  // namespace testsupport
