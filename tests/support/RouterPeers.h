// Clients of the bridge's router faces, as a controller would be, written
// from the protocols' public layout and not from the bridge's code: the
// 9990 text protocol, block by block, and SW-P-08 over TCP, message by
// message with its acknowledgements. Each connects from an address of
// 127.0.0.0/8 of the test's choosing, as another host would.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "StreamPeer.h"

namespace testsupport {

struct HubBlock {
  std::string header;  // "VIDEO OUTPUT ROUTING:", or "ACK", "NAK"
  std::vector<std::string> lines;
};

class VideohubPeer : public StreamPeer {
 public:
  using StreamPeer::StreamPeer;
  // The next block, within the time.
  std::optional<HubBlock> Next(int timeoutMs = 5000);
  // The next block with that header; those before it are dropped.
  std::optional<HubBlock> NextOf(const std::string& header, int timeoutMs = 5000);
  // The whole dump that begins a connection, up to its routing block.
  std::vector<HubBlock> Dump(int timeoutMs = 5000);
  // Nothing comes within the time.
  bool Quiet(int ms);
};

struct Swp08Item {
  enum Kind { kAck, kNak, kMessage } kind = kAck;
  std::string data;  // of a message: its command byte and bytes
  std::uint8_t Command() const { return static_cast<std::uint8_t>(data.at(0)); }
  std::uint8_t At(std::size_t index) const { return static_cast<std::uint8_t>(data.at(index)); }
};

// A message of the protocol, framed, counted, summed and stuffed.
std::string Swp08Frame(const std::vector<int>& data);

class Swp08Peer : public StreamPeer {
 public:
  using StreamPeer::StreamPeer;
  bool Message(const std::vector<int>& data) { return Send(Swp08Frame(data)); }
  // The next ACK, NAK or message, within the time.
  std::optional<Swp08Item> Next(int timeoutMs = 5000);
  // The next message with that command byte; what comes before is dropped.
  std::optional<Swp08Item> NextOf(std::uint8_t command, int timeoutMs = 5000);
  bool Quiet(int ms);
};

}  // namespace testsupport
