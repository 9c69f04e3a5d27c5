#include "SharedEndpoint.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>

#include "AddressValue.h"
#include "Log.h"
#include "TcpSockets.h"
#include "UnitProcIP.h"

namespace bridge {
namespace {

// A client speaks in turns: a frame, then its reply. What it sends ahead of
// its replies waits, but no more than a few frames' worth.
constexpr std::size_t kMostWaiting = 1024;
// Replies a client has not taken yet, beyond what the system holds for it.
constexpr std::size_t kMostUnsent = 64 * 1024;
constexpr std::size_t kReadChunk = 4096;

bool IsValidFrame(const kdt::Frame& frame) {
  const std::uint8_t length = frame[0];
  if (length < 2 || !kdt::ChecksumValid(frame)) return false;
  switch (frame[1]) {
    case kdt::kCmdPoll:
    case kdt::kCmdGoodbye:
      return length == 2;
    case kdt::kCmdSetInput:
      return length == kdt::SetInputFrame(1, 1)[0];
    case kdt::kCmdSetName:
      return length == kdt::SetNameFrame(1, "")[0];
    default:
      return false;
  }
}

// The peer's IPv4 address value and "address:port"; false for another kind.
bool PeerOf(tcp::Socket socket, std::uint32_t& address, std::string& who) {
  int port = 0;
  if (!tcp::SockPeerName(socket, address, port)) return false;
  who = kdt::IPToStr(address) + ":" + std::to_string(port);
  return true;
}

}  // namespace

// Hands over each accepted connection as the socket it is.
class SharedEndpoint::Listener : public QTcpServer {
 public:
  explicit Listener(SharedEndpoint& endpoint) : endpoint_(endpoint) {}

 protected:
  void incomingConnection(qintptr fd) override { endpoint_.Accept(int(fd)); }

 private:
  SharedEndpoint& endpoint_;
};

struct SharedEndpoint::Client {
  std::uint32_t token = 0;  // its commands' token, never reused
  tcp::Socket socket = tcp::kInvalidSocket;
  std::string who;             // "127.0.0.1:40000"
  std::string waiting;         // what it sent that is not yet a whole frame, or waits its turn
  std::string unsent;          // replies the system would not take yet
  bool awaitingReply = false;  // a command of it is with the unit
  // Its watchers go with deleteLater (a client may be closed from within
  // their own signals), and with the endpoint at the latest.
  QSocketNotifier* readable = nullptr;
  QSocketNotifier* writable = nullptr;
  QTimer stall;     // a frame begun and not finished
  QTimer draining;  // replies not yet taken
};

SharedEndpoint::SharedEndpoint(const UnitConfig& unit, SharedSession& session, bool verbose)
    : unit_(unit), session_(session), verbose_(verbose), listener_(new Listener(*this)) {}

SharedEndpoint::~SharedEndpoint() {
  while (!clients_.empty()) Close(*clients_.begin()->second, "the bridge ends", false);
}

std::string SharedEndpoint::Prefix() const {
  return unit_.id + ": ";
}

bool SharedEndpoint::Listen() {
  if (listener_->isListening()) return true;
  const QHostAddress address(kdt::NumericOrder(unit_.listen->address));
  if (listener_->listen(address, quint16(unit_.listen->port))) {
    Log(Prefix() + "shared on " + EndpointText(*unit_.listen));
    listenFailureLogged_ = false;
    return true;
  }
  if (!listenFailureLogged_) {
    Log(Prefix() + "cannot listen on " + EndpointText(*unit_.listen) + ": " +
        listener_->errorString().toStdString() + "; trying again every second");
    listenFailureLogged_ = true;
  }
  return false;
}

bool SharedEndpoint::Admit(std::uint32_t peer, std::string& refusal) const {
  if (!std::any_of(unit_.allow.begin(), unit_.allow.end(),
                   [peer](const Cidr& cidr) { return cidr.Contains(peer); })) {
    refusal = "not in ALLOW";
  } else if (int(clients_.size()) >= unit_.maxClients) {
    refusal = "MAXCLIENTS (" + std::to_string(unit_.maxClients) + ") reached";
  } else if (!session_.Live()) {
    refusal = "the unit is not connected";
  }
  return refusal.empty();
}

void SharedEndpoint::Accept(int fd) {
  tcp::Socket socket = fd;
  std::uint32_t peer = 0;
  std::string who, refusal;
  if (!PeerOf(fd, peer, who)) {
    refusal = "not an IPv4 peer";
  } else if (Admit(peer, refusal) && !(tcp::SockSetOptions(socket, tcp::kSocketBufferSize) &&
                                       tcp::SockSetBlocking(socket, false))) {
    refusal = tcp::SockErrorText(tcp::SockLastError(), 0);
  }
  if (!refusal.empty()) {
    // A unit that is down refuses everybody: only the others are worth a line.
    if (verbose_ || session_.Live()) Log(Prefix() + "refused " + who + ": " + refusal);
    tcp::SockClose(socket);
    return;
  }
  auto client = std::make_unique<Client>();
  Client& c = *client;
  c.token = ++nextToken_;
  c.socket = socket;
  c.who = who;
  for (QTimer* timer : {&c.stall, &c.draining}) {
    timer->setSingleShot(true);
    timer->setInterval(kClientStallMs);
  }
  connect(&c.stall, &QTimer::timeout, this, [this, &c] {
    Close(c, "stalled inside a frame for " + std::to_string(kClientStallMs / 1000) + " s", true);
  });
  connect(&c.draining, &QTimer::timeout, this,
          [this, &c] { Close(c, "stopped reading its replies", true); });
  c.readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(c.readable, &QSocketNotifier::activated, this, [this, &c] { Receive(c); });
  c.writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
  c.writable->setEnabled(false);
  connect(c.writable, &QSocketNotifier::activated, this, [this, &c] { SendWaiting(c); });
  clients_[c.token] = std::move(client);
  if (verbose_) Log(Prefix() + "client " + who + " connected");
}

void SharedEndpoint::Receive(Client& client) {
  char chunk[kReadChunk];
  int received = 0;
  while (tcp::SockRecv(client.socket, chunk, int(sizeof chunk), received)) {
    client.waiting.append(chunk, std::size_t(received));
    if (received < int(sizeof chunk)) break;
  }
  if (received <= 0 && tcp::SockLastError() != tcp::kErrWouldBlock) {
    Close(client,
          tcp::SockLastError() == tcp::kConnReset ? "closed by the client"
                                                  : tcp::SockErrorText(tcp::SockLastError(), 0),
          verbose_);
    return;
  }
  Serve(client);
}

// Takes the client's frames in turn: one at a time, and none while a
// command of it is with the unit.
void SharedEndpoint::Serve(Client& client) {
  kdt::Frame frame;
  while (!client.awaitingReply && TakeFrame(client, frame)) {
    if (!IsValidFrame(frame)) {
      Close(client, "sent a frame that is not valid (" + kdt::FrameHex(frame) + ")", true);
      return;
    }
    if (!Answer(client, frame)) return;
  }
  if (client.waiting.size() > kMostWaiting) {
    Close(client,
          "sent " + std::to_string(client.waiting.size()) + " bytes without waiting for replies",
          true);
  }
}

bool SharedEndpoint::TakeFrame(Client& client, kdt::Frame& frame) {
  if (client.waiting.empty()) return false;
  const std::size_t length = std::size_t(std::uint8_t(client.waiting[0])) + 1;
  if (client.waiting.size() < length) {
    if (!client.stall.isActive()) client.stall.start();
    return false;
  }
  if (client.stall.isActive()) client.stall.stop();
  frame.assign(client.waiting.begin(), client.waiting.begin() + std::ptrdiff_t(length));
  client.waiting.erase(0, length);
  if (!client.waiting.empty()) client.stall.start();  // the next frame has begun
  return true;
}

// False when the client is gone.
bool SharedEndpoint::Answer(Client& client, const kdt::Frame& frame) {
  const kdt::ReplyBytes& newest = session_.NewestReply();
  switch (frame[1]) {
    case kdt::kCmdPoll:
      return Send(client, newest.data(), newest.size());
    case kdt::kCmdGoodbye:
      if (!Send(client, newest.data(), newest.size())) return false;
      Close(client, "said goodbye", verbose_, Ending::kAfterReplies);
      return false;
    default:
      if (!session_.QueueCommand(frame, client.token)) {
        Close(client, "the unit is not connected", verbose_);
        return false;
      }
      client.awaitingReply = true;
      return true;
  }
}

// False when the client is gone.
bool SharedEndpoint::Send(Client& client, const std::uint8_t* data, std::size_t length) {
  if (client.unsent.empty()) {
    int sent = 0;
    if (!tcp::SockSend(client.socket, data, int(length), sent)) {
      if (tcp::SockLastError() != tcp::kErrWouldBlock) {
        Close(client, tcp::SockErrorText(tcp::SockLastError(), 0), verbose_);
        return false;
      }
      sent = 0;
    }
    data += sent;
    length -= std::size_t(sent);
    if (length == 0) return true;
  }
  client.unsent.append(reinterpret_cast<const char*>(data), length);
  if (client.unsent.size() > kMostUnsent) {
    Close(client, "stopped reading its replies", true);
    return false;
  }
  client.writable->setEnabled(true);
  if (!client.draining.isActive()) client.draining.start();
  return true;
}

void SharedEndpoint::SendWaiting(Client& client) {
  int sent = 0;
  if (!tcp::SockSend(client.socket, client.unsent.data(), int(client.unsent.size()), sent)) {
    if (tcp::SockLastError() == tcp::kErrWouldBlock) return;
    Close(client, tcp::SockErrorText(tcp::SockLastError(), 0), verbose_);
    return;
  }
  client.unsent.erase(0, std::size_t(sent));
  client.draining.start();  // it is taking them: time again
  if (client.unsent.empty()) {
    client.writable->setEnabled(false);
    client.draining.stop();
  }
}

void SharedEndpoint::DeliverReply(std::uint32_t token, const kdt::ReplyBytes& reply) {
  const auto found = clients_.find(token);
  if (found == clients_.end()) return;  // it has gone meanwhile
  Client& client = *found->second;
  client.awaitingReply = false;
  if (Send(client, reply.data(), reply.size())) Serve(client);  // what it sent meanwhile
}

void SharedEndpoint::CloseAll(const std::string& reason) {
  if (clients_.empty()) return;
  Log(Prefix() + std::to_string(clients_.size()) + " client" + (clients_.size() == 1 ? "" : "s") +
      " closed: " + reason);
  while (!clients_.empty()) Close(*clients_.begin()->second, reason, false);
}

// The client goes at once, its object with it, so that nothing of it is
// touched after this. After a goodbye, what was sent to it still goes out
// before the close.
void SharedEndpoint::Close(Client& client, const std::string& reason, bool log, Ending ending) {
  if (log) Log(Prefix() + "client " + client.who + " closed: " + reason);
  for (QSocketNotifier* notifier : {client.readable, client.writable}) {
    notifier->setEnabled(false);  // before its socket goes
    notifier->disconnect(this);
    notifier->deleteLater();
  }
  if (ending == Ending::kAtOnce) {
    tcp::SockClose(client.socket);
  } else {
    tcp::SockShutdownClose(client.socket);
  }
  clients_.erase(client.token);
}

}  // namespace bridge
