// What one client of a shared endpoint sends, taken frame by frame from the
// bytes as they come, split anyhow. A frame is handed on only whole and only
// if the console could have sent it (kdt::ReadClientFrame); anything else
// breaks the stream, and nothing after it is read. A client speaks in turns,
// a frame and then its reply: what it sends ahead waits here, but no more
// than a few frames' worth. Free of Qt.
#pragma once

#include <cstddef>
#include <string>

#include "UnitFrames.h"

namespace bridge {

class ClientStream {
 public:
  static constexpr std::size_t kMostWaiting = 1024;

  enum class Next {
    kNothing,  // no whole frame yet
    kFrame,    // `frame` and `read` hold the next one
    kInvalid,  // a frame that is not valid: `frame` holds it
  };
  void Append(const char* data, std::size_t length) { waiting_.append(data, length); }
  Next Take(kdt::Frame& frame, kdt::ClientFrame& read);
  // The next frame has begun and is not whole yet; whole frames that wait
  // for their turn are not.
  bool InsideFrame() const;
  std::size_t Waiting() const { return waiting_.size(); }
  // More than kMostWaiting bytes sent ahead of their replies.
  bool Flooded() const { return waiting_.size() > kMostWaiting; }
  void Clear() { waiting_.clear(); }

 private:
  std::string waiting_;
};

}  // namespace bridge
