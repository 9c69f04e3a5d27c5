#include "endpoint/ClientStream.h"

namespace bridge {

bool ClientStream::InsideFrame() const {
  return !waiting_.empty() &&
         waiting_.size() < std::size_t(static_cast<std::uint8_t>(waiting_[0])) + 1;
}

ClientStream::Next ClientStream::Take(kdt::Frame& frame, kdt::ClientFrame& read) {
  const std::size_t length =
      waiting_.empty() ? 0 : std::size_t(static_cast<std::uint8_t>(waiting_[0])) + 1;
  if (waiting_.empty() || waiting_.size() < length) return Next::kNothing;
  frame.assign(waiting_.begin(), waiting_.begin() + std::ptrdiff_t(length));
  waiting_.erase(0, length);
  return kdt::ReadClientFrame(frame, read) ? Next::kFrame : Next::kInvalid;
}

}  // namespace bridge
