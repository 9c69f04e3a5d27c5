// One connection to a unit for a command-line run: connect, exchange frames
// one at a time (a command in place of a poll, each answered by the unit's
// status), and end with the goodbye. Built on the unit's link; every wait can
// be cut short by the interrupt flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "UnitFrames.h"
#include "UnitLink.h"

namespace cli {

class UnitClient {
 public:
  // `timeoutMs` bounds the connection attempt and each read of a reply.
  UnitClient(std::string address, int port, std::uint32_t timeoutMs,
             const std::atomic<bool>& interrupted);
  ~UnitClient();  // says goodbye when still connected
  UnitClient(const UnitClient&) = delete;
  UnitClient& operator=(const UnitClient&) = delete;

  bool Connect();
  bool Connected() const { return link_.IsOpen(); }
  // One exchange: a poll, or the frame in its place. On success `status` is
  // the unit's reply; on failure the connection is closed and Error() says why.
  bool Poll(kdt::UnitStatus& status);
  bool Exchange(const kdt::Frame& frame, kdt::UnitStatus& status);
  // Sends the goodbye, reads its reply if it comes soon, and closes.
  void Goodbye();

  // "address:port", as messages name the unit.
  std::string Where() const;
  // Why the last operation failed, in words.
  const std::string& Error() const { return error_; }

 private:
  void Fail(const std::string& why);
  std::string Reason() const;

  const std::string address_;
  const int port_;
  const std::uint32_t timeoutMs_;
  const std::atomic<bool>& interrupted_;
  kdt::UnitLink link_;
  bool replied_ = false;  // on this connection
  std::string error_;
};

}  // namespace cli
