#include "UnitFrames.h"

#include <algorithm>

#include "CodePage.h"

namespace kdt {
namespace {

constexpr std::uint8_t kSetNameLength = 3 + kSetNameFieldLength;

std::size_t RelayOffset(int relayIndex) {
  return kReplyFirstRelayOffset + static_cast<std::size_t>(relayIndex) * kReplyRelayBlockLength;
}

Frame MakeFrame(std::initializer_list<std::uint8_t> body) {
  Frame frame(body.size() + 2, 0);
  frame[0] = static_cast<std::uint8_t>(body.size() + 1);
  std::copy(body.begin(), body.end(), frame.begin() + 1);
  CompleteFrame(frame);
  return frame;
}

}  // namespace

std::uint8_t FrameChecksum(std::span<const std::uint8_t> frame) {
  const std::size_t bodyLength = frame[0] >= 2 ? frame[0] - 1u : 0;  // none below N = 2
  std::uint8_t sum = 0;
  for (std::uint8_t byte : frame.subspan(1, bodyLength))
    sum = static_cast<std::uint8_t>(sum + byte);
  return static_cast<std::uint8_t>(-sum);
}

void CompleteFrame(std::span<std::uint8_t> frame) {
  frame[frame[0]] = FrameChecksum(frame);
}

bool ChecksumValid(std::span<const std::uint8_t> frame) {
  return !frame.empty() && frame.size() > frame[0] && frame[frame[0]] == FrameChecksum(frame);
}

std::string FrameHex(std::span<const std::uint8_t> frame) {
  return HexText(std::string_view(reinterpret_cast<const char*>(frame.data()), frame.size()), " ");
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
  const std::string_view field = name.substr(0, kSetNameFieldLength);
  std::copy(field.begin(), field.end(), frame.begin() + 3);
  CompleteFrame(frame);
  return frame;
}

bool ReadClientFrame(std::span<const std::uint8_t> frame, ClientFrame& read) {
  if (frame.size() < 3 || frame.size() != std::size_t(frame[0]) + 1 || !ChecksumValid(frame)) {
    return false;
  }
  read = {};
  read.code = frame[1];
  switch (read.code) {
    case kCmdPoll:
    case kCmdGoodbye:
      return frame[0] == 2;
    case kCmdSetInput:
      if (frame[0] != 4) return false;
      read.input = frame[2];
      read.relay = frame[3];
      return read.relay >= 1 && read.relay <= kRelayCount &&
             (read.input == kInput1 || read.input == kInput2);
    case kCmdSetName: {
      if (frame[0] != kSetNameLength) return false;
      read.relay = frame[2];
      const std::string_view field(reinterpret_cast<const char*>(frame.data()) + 3,
                                   kSetNameFieldLength);
      read.name = field.substr(0, field.find('\0'));
      return read.relay >= 1 && read.relay <= kRelayCount && IsSendableNameField(field);
    }
    default:
      return false;
  }
}

void LoadFrame(FrameBuffer& buffer, const Frame& frame) {
  std::copy_n(frame.begin(), std::min(frame.size(), buffer.size()), buffer.begin());
}

bool SendFrame(tcp::Socket s, FrameBuffer& frame, tcp::Abandon abandon) {
  CompleteFrame(frame);
  return tcp::SockSendAll(s, frame.data(), frame[0] + 1, kTransferTimeoutMs, abandon);
}

bool ReceiveReply(tcp::Socket s, FrameBuffer& buffer, tcp::Abandon abandon,
                  std::uint32_t timeoutMs) {
  if (!tcp::SockRecvAll(s, buffer.data(), 1, timeoutMs, abandon)) return false;
  if (!tcp::SockRecvAll(s, buffer.data() + 1, buffer[0], timeoutMs, abandon)) return false;
  return buffer[0] == kReplyLengthByte && ChecksumValid(buffer);
}

bool RepliesEqual(ReplyView a, ReplyView b) {
  constexpr std::size_t kCompared = kCompareLast - kCompareFirst + 1;
  return std::ranges::equal(a.subspan<kCompareFirst, kCompared>(),
                            b.subspan<kCompareFirst, kCompared>());
}

UnitStatus DecodeReply(ReplyView reply) {
  UnitStatus status;
  status.header = reply[kReplyHeaderOffset];
  status.model = reply[kReplyModelOffset];
  for (int r = 0; r < kRelayCount; ++r) {
    const auto block = reply.subspan(RelayOffset(r), kReplyRelayBlockLength);
    status.state[r] = block[0];
    const auto field = block.subspan(1);
    status.name[r].assign(field.begin(), std::find(field.begin(), field.end(), 0));
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
    const auto block = std::span(reply).subspan(RelayOffset(r), kReplyRelayBlockLength);
    block[0] = status.state[r];
    const std::string_view name = std::string_view(status.name[r]).substr(0, kReplyNameFieldLength);
    std::copy(name.begin(), name.end(), block.begin() + 1);
  }
  CompleteFrame(reply);
  return reply;
}

}  // namespace kdt
