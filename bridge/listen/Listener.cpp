#include "listen/Listener.h"

#include <cerrno>

#include "UnitProcIP.h"
#include "core/Log.h"

namespace bridge {
namespace {

constexpr int kBacklog = 128;
constexpr int kAcceptAgainMs = 1000;
constexpr int kListenAgainMs = 1000;

// A failure to take a client that passes by itself: the next one may do.
bool IsPassing(int error) {
  return error == ECONNABORTED || error == EINTR || error == EPROTO;
}

// The peer's IPv4 address value and "address:port"; false for another kind.
bool PeerOf(tcp::Socket socket, std::uint32_t& address, std::string& who) {
  int port = 0;
  if (!tcp::SockPeerName(socket, address, port)) return false;
  who = kdt::IPToStr(address) + ":" + std::to_string(port);
  return true;
}

}  // namespace

Arrival Arrive(tcp::Socket socket, const UnitConfig& unit, const std::vector<ClientPlace>& places,
               const std::function<void(std::size_t place, const std::string& why)>& evict,
               const std::string& notNow) {
  Arrival arrival;
  if (!PeerOf(socket, arrival.peer, arrival.who)) {
    arrival.refusal = "not an IPv4 peer";
  } else if (!Allowed(unit.allow, arrival.peer)) {
    arrival.refusal = "not in ALLOW";
  } else if (!notNow.empty()) {
    arrival.refusal = notNow;
  } else if (const Admission admission =
                 AdmitClient(unit.allow, unit.maxClients, arrival.peer, places);
             !admission.admitted) {
    arrival.refusal = admission.refusal;
  } else {
    if (admission.evict >= 0) evict(std::size_t(admission.evict), admission.evicted);
    if (!tcp::SockSetOptions(socket, tcp::kSocketBufferSize) ||
        !tcp::SockSetBlocking(socket, false)) {
      arrival.refusal = tcp::SockErrorText(tcp::SockLastError(), 0);
    }
  }
  return arrival;
}

std::string ClosedText(int error) {
  if (error == tcp::kConnReset) return "closed by the client";
  if (error == ECONNRESET) return "reset by the client";
  return tcp::SockErrorText(error, 0);
}

Listener::Listener(const Endpoint& at, std::string prefix, std::string serves, Take take)
    : at_(at), prefix_(std::move(prefix)), serves_(std::move(serves)), take_(std::move(take)) {
  acceptAgain_.setSingleShot(true);
  acceptAgain_.setInterval(kAcceptAgainMs);
  connect(&acceptAgain_, &QTimer::timeout, this, [this] {
    incoming_->setEnabled(true);
    TakeWaiting();
  });
  listenAgain_.setInterval(kListenAgainMs);
  connect(&listenAgain_, &QTimer::timeout, this, &Listener::Listen);
  Listen();
}

Listener::~Listener() {
  incoming_.reset();  // before its socket goes
  tcp::SockClose(socket_);
}

void Listener::Listen() {
  const std::string where = EndpointText(at_);
  if (!tcp::SockListen(socket_, kdt::IPToStr(at_.address), at_.port, kBacklog)) {
    const std::string reason = tcp::SockErrorText(tcp::SockLastError(), 0);
    if (const auto line = listenDown_.Line(
            prefix_ + "cannot listen on " + where + ": " + reason + "; trying again every second",
            prefix_ + "still cannot listen on " + where + ": " + reason)) {
      Log(*line);
    }
    listenAgain_.start();
    return;
  }
  listenAgain_.stop();
  listenDown_.Up();
  Log(prefix_ + serves_ + " " + where);
  incoming_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Read);
  connect(incoming_.get(), &QSocketNotifier::activated, this, &Listener::TakeWaiting);
}

void Listener::TakeWaiting() {
  for (;;) {
    tcp::Socket socket = tcp::kInvalidSocket;
    if (tcp::SockAccept(socket_, socket)) {
      if (acceptDown_.Down()) Log(prefix_ + "taking clients again");
      acceptDown_.Up();
      take_(socket);
      continue;
    }
    const int error = tcp::SockLastError();
    if (error == tcp::kErrWouldBlock) return;
    if (IsPassing(error)) continue;
    const std::string reason = tcp::SockErrorText(error, 0);
    if (const auto line = acceptDown_.Line(
            prefix_ + "cannot take a client: " + reason + "; trying again every second",
            prefix_ + "still cannot take a client: " + reason)) {
      Log(*line);
    }
    incoming_->setEnabled(false);
    acceptAgain_.start();
    return;
  }
}

}  // namespace bridge
