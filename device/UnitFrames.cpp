#include "UnitFrames.h"

#include <algorithm>
#include <cstring>

namespace kdt {
namespace {

constexpr std::uint8_t kSetNameLength = 3 + kSetNameFieldLength;

std::size_t RelayOffset(int relayIndex) {
  return kReplyFirstRelayOffset + static_cast<std::size_t>(relayIndex) * kReplyRelayBlockLength;
}

Frame MakeFrame(std::initializer_list<std::uint8_t> body) {
  Frame frame(body.size() + 2, 0);
  frame[0] = static_cast<std::uint8_t>(body.size() + 1);
  std::size_t i = 1;
  for (std::uint8_t byte : body) frame[i++] = byte;
  CompleteFrame(frame.data());
  return frame;
}

}  // namespace

std::uint8_t FrameChecksum(const std::uint8_t* frame) {
  std::uint8_t sum = 0;
  for (int i = 1; i < frame[0]; ++i) sum = static_cast<std::uint8_t>(sum + frame[i]);
  return static_cast<std::uint8_t>(-sum);
}

void CompleteFrame(std::uint8_t* frame) {
  frame[frame[0]] = FrameChecksum(frame);
}

bool ChecksumValid(const std::uint8_t* frame) {
  return frame[frame[0]] == FrameChecksum(frame);
}

Frame PollFrame() {
  return MakeFrame({kCmdPoll});
}
Frame GoodbyeFrame() {
  return MakeFrame({kCmdGoodbye});
}

Frame SetInputFrame(std::uint8_t input, std::uint8_t relay) {
  return MakeFrame({kCmdSetInput, input, relay});
}

Frame SetNameFrame(std::uint8_t relay, std::string_view name) {
  Frame frame(kSetNameLength + 1, 0);
  frame[0] = kSetNameLength;
  frame[1] = kCmdSetName;
  frame[2] = relay;
  std::size_t length = std::min(name.size(), kSetNameFieldLength);
  std::memcpy(&frame[3], name.data(), length);
  CompleteFrame(frame.data());
  return frame;
}

bool SendFrame(tcp::Socket s, std::uint8_t* frame, tcp::Abandon abandon) {
  CompleteFrame(frame);
  return tcp::SockSendAll(s, frame, frame[0] + 1, kTransferTimeoutMs, abandon);
}

bool ReceiveReply(tcp::Socket s, std::uint8_t* buffer, tcp::Abandon abandon,
                  std::uint32_t timeoutMs) {
  if (!tcp::SockRecvAll(s, buffer, 1, timeoutMs, abandon)) return false;
  if (!tcp::SockRecvAll(s, buffer + 1, buffer[0], timeoutMs, abandon)) return false;
  return buffer[0] == kReplyLengthByte && ChecksumValid(buffer);
}

bool RepliesEqual(const std::uint8_t* a, const std::uint8_t* b) {
  return std::memcmp(a + kCompareFirst, b + kCompareFirst, kCompareLast - kCompareFirst + 1) == 0;
}

UnitStatus DecodeReply(const std::uint8_t* reply) {
  UnitStatus status;
  status.header = reply[kReplyHeaderOffset];
  status.model = reply[kReplyModelOffset];
  for (int r = 0; r < kRelayCount; ++r) {
    const std::uint8_t* block = reply + RelayOffset(r);
    status.state[r] = block[0];
    const char* field = reinterpret_cast<const char*>(block + 1);
    status.name[r].assign(field, strnlen(field, kReplyNameFieldLength));
  }
  return status;
}

ReplyBytes EncodeReply(const UnitStatus& status, std::uint8_t firstBodyByte) {
  ReplyBytes reply{};
  reply[0] = kReplyLengthByte;
  reply[1] = firstBodyByte;
  reply[kReplyHeaderOffset] = status.header;
  reply[kReplyModelOffset] = status.model;
  for (int r = 0; r < kRelayCount; ++r) {
    std::uint8_t* block = reply.data() + RelayOffset(r);
    block[0] = status.state[r];
    std::size_t length = std::min(status.name[r].size(), kReplyNameFieldLength);
    std::memcpy(block + 1, status.name[r].data(), length);
  }
  CompleteFrame(reply.data());
  return reply;
}

}  // namespace kdt
