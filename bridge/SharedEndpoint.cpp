#include "SharedEndpoint.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <algorithm>

#include "AddressValue.h"
#include "CodePage.h"
#include "Log.h"

namespace bridge {
namespace {

// A client speaks in turns: a frame, then its reply. What it sends ahead of
// its replies waits, but no more than a few frames' worth.
constexpr qsizetype kMostWaiting = 1024;
// Replies a client has not read yet, beyond what the system holds for it.
constexpr qint64 kMostUnread = 64 * 1024;
// A small send buffer, so that a client that stops reading shows soon.
constexpr int kClientSendBuffer = 16 * 1024;

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

std::string FrameText(const kdt::Frame& frame) {
  return kdt::HexText(std::string_view(reinterpret_cast<const char*>(frame.data()), frame.size()),
                      " ");
}

}  // namespace

struct SharedEndpoint::Client {
  std::uint32_t token = 0;  // its commands' token, never reused
  QTcpSocket* socket = nullptr;
  std::string who;             // "127.0.0.1:40000"
  QByteArray waiting;          // what it sent that is not yet a whole frame, or waits its turn
  bool awaitingReply = false;  // a command of it is with the unit
  QTimer stall;                // a frame begun and not finished
  QTimer draining;             // a reply written and not yet taken
};

SharedEndpoint::SharedEndpoint(const UnitConfig& unit, SharedSession& session, bool verbose)
    : unit_(unit), session_(session), verbose_(verbose) {
  connect(&server_, &QTcpServer::newConnection, this, &SharedEndpoint::Accept);
}

SharedEndpoint::~SharedEndpoint() {
  for (auto& [token, client] : clients_) client->socket->abort();
}

std::string SharedEndpoint::Prefix() const {
  return unit_.id + ": ";
}

bool SharedEndpoint::Listen() {
  if (server_.isListening()) return true;
  const QHostAddress address(kdt::NumericOrder(unit_.listen->address));
  if (server_.listen(address, quint16(unit_.listen->port))) {
    Log(Prefix() + "shared on " + EndpointText(*unit_.listen));
    listenFailureLogged_ = false;
    return true;
  }
  if (!listenFailureLogged_) {
    Log(Prefix() + "cannot listen on " + EndpointText(*unit_.listen) + ": " +
        server_.errorString().toStdString() + "; trying again every second");
    listenFailureLogged_ = true;
  }
  return false;
}

bool SharedEndpoint::Admit(QTcpSocket& socket, std::string& refusal) const {
  bool ipv4 = false;
  const std::uint32_t peer = kdt::FromNumericOrder(socket.peerAddress().toIPv4Address(&ipv4));
  if (!ipv4 || !std::any_of(unit_.allow.begin(), unit_.allow.end(),
                            [peer](const Cidr& cidr) { return cidr.Contains(peer); })) {
    refusal = "not in ALLOW";
  } else if (int(clients_.size()) >= unit_.maxClients) {
    refusal = "MAXCLIENTS (" + std::to_string(unit_.maxClients) + ") reached";
  } else if (!session_.Live()) {
    refusal = "the unit is not connected";
  }
  return refusal.empty();
}

void SharedEndpoint::Accept() {
  while (QTcpSocket* socket = server_.nextPendingConnection()) {
    const std::string who =
        socket->peerAddress().toString().toStdString() + ":" + std::to_string(socket->peerPort());
    std::string refusal;
    if (!Admit(*socket, refusal)) {
      // A unit that is down refuses everybody: only the others are worth a line.
      if (verbose_ || session_.Live()) Log(Prefix() + "refused " + who + ": " + refusal);
      socket->abort();
      socket->deleteLater();
      continue;
    }
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kClientSendBuffer);
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
    connect(socket, &QTcpSocket::readyRead, this, [this, &c] { Serve(c); });
    connect(socket, &QTcpSocket::bytesWritten, this, [&c] {
      if (c.socket->bytesToWrite() == 0) c.draining.stop();
    });
    connect(socket, &QTcpSocket::disconnected, this,
            [this, &c] { Close(c, "closed by the client", verbose_); });
    clients_[c.token] = std::move(client);
    if (verbose_) Log(Prefix() + "client " + who + " connected");
    Serve(c);
  }
}

// Takes the client's frames in turn: one at a time, and none while a
// command of it is with the unit.
void SharedEndpoint::Serve(Client& client) {
  client.waiting += client.socket->readAll();
  kdt::Frame frame;
  while (!client.awaitingReply && TakeFrame(client, frame)) {
    if (!IsValidFrame(frame)) {
      Close(client, "sent a frame that is not valid (" + FrameText(frame) + ")", true);
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
  if (client.waiting.isEmpty()) return false;
  const qsizetype length = qsizetype(std::uint8_t(client.waiting[0])) + 1;
  if (client.waiting.size() < length) {
    if (!client.stall.isActive()) client.stall.start();
    return false;
  }
  client.stall.stop();
  frame.assign(client.waiting.begin(), client.waiting.begin() + length);
  client.waiting.remove(0, length);
  if (!client.waiting.isEmpty()) client.stall.start();  // the next frame has begun
  return true;
}

// False when the client is gone.
bool SharedEndpoint::Answer(Client& client, const kdt::Frame& frame) {
  switch (frame[1]) {
    case kdt::kCmdPoll:
      Send(client, session_.NewestReply());
      return true;
    case kdt::kCmdGoodbye:
      Send(client, session_.NewestReply());
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

void SharedEndpoint::Send(Client& client, const kdt::ReplyBytes& reply) {
  client.socket->write(reinterpret_cast<const char*>(reply.data()), qint64(reply.size()));
  client.socket->flush();
  if (client.socket->bytesToWrite() > kMostUnread) {
    Close(client, "stopped reading its replies", true);
  } else if (client.socket->bytesToWrite() > 0 && !client.draining.isActive()) {
    client.draining.start();
  }
}

void SharedEndpoint::DeliverReply(std::uint32_t token, const kdt::ReplyBytes& reply) {
  const auto found = clients_.find(token);
  if (found == clients_.end()) return;  // it has gone meanwhile
  Client& client = *found->second;
  client.awaitingReply = false;
  Send(client, reply);
  if (clients_.count(token) != 0) Serve(client);  // what it sent meanwhile
}

void SharedEndpoint::CloseAll(const std::string& reason) {
  if (clients_.empty()) return;
  Log(Prefix() + std::to_string(clients_.size()) + " client" + (clients_.size() == 1 ? "" : "s") +
      " closed: " + reason);
  while (!clients_.empty()) Close(*clients_.begin()->second, reason, false);
}

// The client goes at once; its object with it, so that nothing of it is
// touched after this.
void SharedEndpoint::Close(Client& client, const std::string& reason, bool log, Ending ending) {
  if (log) Log(Prefix() + "client " + client.who + " closed: " + reason);
  QTcpSocket* socket = client.socket;
  socket->disconnect(this);
  if (ending == Ending::kAfterReplies) {
    socket->disconnectFromHost();
  } else {
    socket->abort();
  }
  socket->deleteLater();
  clients_.erase(client.token);
}

}  // namespace bridge
