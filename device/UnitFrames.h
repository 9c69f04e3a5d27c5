// The unit's frame protocol: a length byte N, N-1 body bytes starting with the
// command code, and a checksum that makes body and checksum add up to 0
// modulo 256. The unit answers every frame with one 83-byte status reply.
// Free of Qt, so that the simulated unit shares it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "RelayName.h"
#include "Relays.h"
#include "TcpSockets.h"

namespace kdt {

using Frame = std::vector<std::uint8_t>;

constexpr int kUnitPort = 10001;               // where every unit listens
constexpr std::size_t kFrameBufferSize = 256;  // the longest frame: N = 255
constexpr std::uint8_t kReplyLengthByte = 82;
constexpr std::size_t kReplyLength = 83;
constexpr std::uint32_t kTransferTimeoutMs = 3000;

constexpr std::uint8_t kCmdPoll = 0x01;
constexpr std::uint8_t kCmdSetInput = 0x02;
constexpr std::uint8_t kCmdSetName = 0x03;
constexpr std::uint8_t kCmdGoodbye = 0x99;

constexpr std::size_t kSetNameFieldLength = kNameLength;
constexpr std::size_t kReplyNameFieldLength = kReportedNameLength;
constexpr std::uint8_t kModelKdt212 = 212;

// Reply layout: byte 2 header, byte 3 model, then per relay a state byte and
// a 25-byte name field, relay 1 first.
constexpr std::size_t kReplyHeaderOffset = 2;
constexpr std::size_t kReplyModelOffset = 3;
constexpr std::size_t kReplyFirstRelayOffset = 4;
constexpr std::size_t kReplyRelayBlockLength = 1 + kReplyNameFieldLength;
// Change detection compares bytes 2 to 81: byte 1 and the checksum don't count.
constexpr std::size_t kCompareFirst = 2;
constexpr std::size_t kCompareLast = 81;

// Room for any frame, and so for any reply: the length byte and up to 255
// more. What goes out is loaded into one, and what comes in is read into it.
using FrameBuffer = std::array<std::uint8_t, kFrameBufferSize>;
using ReplyBytes = std::array<std::uint8_t, kReplyLength>;
// A status reply where it stands: a ReplyBytes, or the start of a FrameBuffer
// that ReceiveReply has filled (ReplyIn).
using ReplyView = std::span<const std::uint8_t, kReplyLength>;

// The decoded status reply. Names are the unit's bytes, up to the first NUL.
struct UnitStatus {
  std::uint8_t header = 0;
  std::uint8_t model = 0;
  std::array<std::uint8_t, kRelayCount> state{};
  std::array<std::string, kRelayCount> name;
};

// The negated 8-bit sum of bytes 1 to N-1 of a frame of N+1 bytes or more.
std::uint8_t FrameChecksum(std::span<const std::uint8_t> frame);
// Writes the checksum into byte N.
void CompleteFrame(std::span<std::uint8_t> frame);
// False too for bytes that end before the frame their length byte announces.
bool ChecksumValid(std::span<const std::uint8_t> frame);
// A frame's bytes in hexadecimal, a space between, as logs show them.
std::string FrameHex(std::span<const std::uint8_t> frame);

Frame PollFrame();
Frame GoodbyeFrame();
Frame SetInputFrame(std::uint8_t input, std::uint8_t relay);
// The name's first 24 bytes, padded with NUL bytes to the field's end.
Frame SetNameFrame(std::uint8_t relay, std::string_view name);
// A frame that a client of the unit sends, as the unit would read it.
struct ClientFrame {
  std::uint8_t code = 0;  // kCmdPoll, kCmdGoodbye, kCmdSetInput or kCmdSetName
  int relay = 0;          // of a command, 1 to 3
  int input = 0;          // of a set-input, 1 or 2
  std::string name;       // of a set-name: the field up to its first NUL
};
// False for a frame that the console could not have sent: a wrong length or
// checksum, an unknown code, a relay but 1 to 3, an input but 1 or 2, a
// name field with bytes behind its end (RelayName.h). Such a frame never
// reaches a unit through the bridge.
bool ReadClientFrame(std::span<const std::uint8_t> frame, ClientFrame& read);

// Copies the frame's N+1 bytes to the start of the buffer.
void LoadFrame(FrameBuffer& buffer, const Frame& frame);

// Completes the frame's checksum and sends its N+1 bytes within 3000 ms.
bool SendFrame(tcp::Socket s, FrameBuffer& frame, tcp::Abandon abandon = nullptr);
// Reads one reply: the length byte, then all N announced bytes, each read
// within `timeoutMs`; true only for a valid status reply. A reply of the
// wrong length is consumed whole before it is rejected, so nothing of it is
// left on the connection.
bool ReceiveReply(tcp::Socket s, FrameBuffer& buffer, tcp::Abandon abandon = nullptr,
                  std::uint32_t timeoutMs = kTransferTimeoutMs);
constexpr ReplyView ReplyIn(const FrameBuffer& buffer) {
  return std::span(buffer).first<kReplyLength>();
}

bool RepliesEqual(ReplyView a, ReplyView b);
UnitStatus DecodeReply(ReplyView reply);
// The inverse of DecodeReply, with a valid checksum; names longer than their
// 25-byte field are cut.
ReplyBytes EncodeReply(const UnitStatus& status, std::uint8_t firstBodyByte = 0);

}  // namespace kdt
