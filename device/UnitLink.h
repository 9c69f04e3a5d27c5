// One connection to a unit, as every program holds it: connecting, one frame
// and its reply, the goodbye, the close. It owns its socket: it can be moved
// but not copied, and closes the socket when it goes, so that no path has to
// close by hand. Every step that can fail returns its outcome and keeps the
// socket layer's reason (Error, words by tcp::SockErrorText). Free of Qt: the
// session's worker, kdt212ctl and the bridge share it.
#pragma once

#include <cstdint>
#include <string_view>

#include "TcpSockets.h"
#include "UnitFrames.h"

namespace kdt {

class UnitLink {
 public:
  // What became of one exchange.
  enum class Outcome {
    kDone,          // the frame went out and a valid status reply is in the buffer
    kSendFailed,    // the frame could not be sent whole
    kNoReply,       // no whole reply within the time-out, or the unit closed
    kInvalidReply,  // a reply came, but its length or checksum is wrong
  };

  UnitLink() = default;
  ~UnitLink();
  UnitLink(UnitLink&& other) noexcept;
  UnitLink& operator=(UnitLink&& other) noexcept;
  UnitLink(const UnitLink&) = delete;
  UnitLink& operator=(const UnitLink&) = delete;

  // Opens a socket with the unit's option set and connects it within the
  // time-out. An open link is closed first.
  bool Connect(std::string_view host, int port, int timeoutMs, tcp::Abandon abandon = nullptr);
  bool IsOpen() const { return socket_ != tcp::kInvalidSocket; }
  tcp::Socket Handle() const { return socket_; }

  // Sends the frame loaded in the buffer, its checksum completed, and reads
  // the reply into the same buffer, each read within `replyTimeoutMs`.
  Outcome Exchange(FrameBuffer& buffer, tcp::Abandon abandon = nullptr,
                   std::uint32_t replyTimeoutMs = kTransferTimeoutMs);
  // The goodbye, and its reply awaited for `replyTimeoutMs`; the outcome
  // does not matter, and the link stays open until Close.
  void Goodbye(std::uint32_t replyTimeoutMs, tcp::Abandon abandon = nullptr);
  // Shuts the connection down and closes the socket; an idle link stays so.
  void Close();

  // The socket layer's code for the last step that failed: 0 for a reply
  // that came but was not valid.
  int Error() const { return error_; }

 private:
  tcp::Socket socket_ = tcp::kInvalidSocket;
  int error_ = 0;
};

}  // namespace kdt
