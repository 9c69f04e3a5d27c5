// The listening socket of a face of one unit (its endpoint, a router face):
// it listens on the face's address, and tries again every second while it
// cannot; it hands on every connection that waits. When no descriptor is
// left for one (or no memory), it waits in the system's queue and is tried
// again in a second: said once, and never a loop that spins on it. A plain
// socket of the socket layer, watched by the event loop.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TcpSockets.h"
#include "config/UnitConfig.h"
#include "config/Values.h"
#include "core/ClientGate.h"
#include "core/DownNotice.h"

namespace bridge {

// A connection that a face has taken: whom it is from, and why it may not
// stay, by the one rule of who may connect (ClientGate.h).
struct Arrival {
  std::uint32_t peer = 0;
  std::string who;      // "127.0.0.1:40000"
  std::string refusal;  // empty: it stays, ready to be served without blocking
};
// `places`: the face's clients, in an order that `evict` knows: it closes
// the one that gives way for the newcomer, with why. `notNow`: why nobody
// may come now (the unit is down), or empty.
Arrival Arrive(tcp::Socket socket, const UnitConfig& unit, const std::vector<ClientPlace>& places,
               const std::function<void(std::size_t place, const std::string& why)>& evict,
               const std::string& notNow = "");

// Why a client's connection ended, from the socket layer's error.
std::string ClosedText(int error);

class Listener : public QObject {
 public:
  // Given each connection taken; it is the taker's to close.
  using Take = std::function<void(tcp::Socket socket)>;

  // `prefix` begins its log lines ("studio: "); `serves` says what it
  // listens for once it does ("shared on" 127.0.0.2:10001).
  Listener(const Endpoint& at, std::string prefix, std::string serves, Take take);
  ~Listener() override;

 private:
  void Listen();
  void TakeWaiting();

  const Endpoint at_;
  const std::string prefix_;
  const std::string serves_;
  const Take take_;
  tcp::Socket socket_ = tcp::kInvalidSocket;
  std::unique_ptr<QSocketNotifier> incoming_;
  QTimer listenAgain_;     // while the address cannot be had
  QTimer acceptAgain_;     // after a failure to take a client
  DownNotice listenDown_;  // the address cannot be had
  DownNotice acceptDown_;  // clients cannot be taken (no descriptor left)
};

}  // namespace bridge
