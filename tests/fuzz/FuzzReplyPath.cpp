// The reply path: bytes arrive on a connection as a unit's replies, through
// ReceiveReply and DecodeReply. A reply is accepted exactly when its length
// byte is 82 and its checksum is right, it is the next 83 bytes on the
// connection, and decoding it reads nothing outside it.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "UnitFrames.h"

namespace {

bool ValidReplyAt(const std::uint8_t* data, std::size_t available) {
  if (available < kdt::kReplyLength || data[0] != kdt::kReplyLengthByte) return false;
  std::uint8_t sum = 0;
  for (std::size_t i = 1; i < kdt::kReplyLength; ++i) sum = std::uint8_t(sum + data[i]);
  return sum == 0;
}

// Decodes from a block of exactly the reply's size, so that any read past
// its end is one that AddressSanitizer sees.
void DecodeExactly(kdt::ReplyView reply) {
  auto exact = std::make_unique<std::uint8_t[]>(kdt::kReplyLength);
  std::copy(reply.begin(), reply.end(), exact.get());
  const kdt::UnitStatus status = kdt::DecodeReply(kdt::ReplyView(exact.get(), kdt::kReplyLength));
  for (const std::string& name : status.name) {
    if (name.size() > kdt::kReplyNameFieldLength) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
  int bufferSize = 1 << 20;  // the whole input fits, so it can be written first
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
  if (size > 0 && write(fds[0], data, size) != ssize_t(size)) std::abort();
  shutdown(fds[0], SHUT_WR);  // the unit closes after its last byte: no read waits
  kdt::FrameBuffer buffer;
  for (std::size_t offset = 0; offset < size;) {
    const std::size_t available = size - offset;
    const std::size_t frameLength = 1u + data[offset];
    const bool accepted = kdt::ReceiveReply(fds[1], buffer);
    if (accepted != ValidReplyAt(data + offset, available)) std::abort();
    if (frameLength > available) break;  // the connection ended inside the frame
    if (accepted) {
      if (!std::equal(buffer.begin(), buffer.begin() + kdt::kReplyLength, data + offset))
        std::abort();
      DecodeExactly(kdt::ReplyIn(buffer));
    }
    offset += frameLength;  // a rejected reply is consumed whole
  }
  close(fds[0]);
  close(fds[1]);
  return 0;
}
