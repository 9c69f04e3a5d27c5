#include "endpoint/SharedEndpoint.h"

#include <QPointer>
#include <algorithm>
#include <chrono>

#include "AddressValue.h"
#include "UnitProcIP.h"
#include "core/ClientGate.h"

namespace bridge {
namespace {

using Clock = std::chrono::steady_clock;

// Replies a client has not taken yet, beyond what the system holds for it.
constexpr std::size_t kMostUnsent = 64 * 1024;
constexpr std::size_t kReadChunk = 4096;

std::string HostOf(std::uint32_t address) {
  return kdt::IPToStr(address);
}

}  // namespace

struct SharedEndpoint::Client {
  std::uint64_t source = 0;  // its commands', never reused
  tcp::Socket socket = tcp::kInvalidSocket;
  std::uint32_t host = 0;      // the peer's address value
  std::string who;             // "127.0.0.1:40000"
  ClientStream stream;         // what it sent that is not yet a whole frame, or waits its turn
  std::string unsent;          // replies the system would not take yet
  bool awaitingReply = false;  // a command of it is with the unit
  bool ending = false;         // said goodbye: its last reply goes, then the connection
  Clock::time_point lastFrame = Clock::now();
  // Its watchers go with deleteLater (a client may be closed from within
  // their own signals), and with the endpoint at the latest.
  QSocketNotifier* readable = nullptr;
  QSocketNotifier* writable = nullptr;
  QTimer stall;     // a frame begun and not finished; the end of a goodbye
  QTimer draining;  // replies not yet taken
  QTimer idle;      // no frame for a while
};

SharedEndpoint::SharedEndpoint(const UnitConfig& unit, Core& core, bool verbose)
    : unit_(unit),
      core_(core),
      served_(*core.FindUnit(unit.id)),
      verbose_(verbose),
      listener_(*unit.FaceAddress(kListenKey), Prefix(), "shared on",
                [this](tcp::Socket socket) { Accept(socket); }) {}

SharedEndpoint::~SharedEndpoint() {
  while (!clients_.empty()) Close(*clients_.begin()->second, "the bridge ends", false);
}

std::string SharedEndpoint::Prefix() const {
  return unit_.id + ": ";
}

void SharedEndpoint::Reconfigure(const UnitConfig& unit) {
  unit_ = unit;
  std::vector<Client*> outside;
  for (auto& [source, client] : clients_) {
    if (!Allowed(unit_.allow, client->host)) outside.push_back(client.get());
  }
  for (Client* client : outside) Close(*client, "no longer in ALLOW", true);
}

void SharedEndpoint::UnitChanged(const Unit& unit) {
  if (&unit == &served_ && !unit.Live()) CloseAll("the unit is not connected");
}

// A reply as the clients see it: a relay that someone holds (Protects.h)
// shows locked, as the console then keeps its hands off it.
kdt::ReplyBytes SharedEndpoint::Served(const kdt::ReplyBytes& reply) const {
  kdt::ReplyBytes served = reply;
  for (int relay = 1; relay <= kdt::kRelayCount; ++relay) {
    if (core_.ProtectOf(unit_.id, relay) == nullptr) continue;
    std::uint8_t& state =
        served[kdt::kReplyFirstRelayOffset + std::size_t(relay - 1) * kdt::kReplyRelayBlockLength];
    state = kdt::WithLock(state, true);
  }
  if (served != reply) kdt::CompleteFrame(served);
  return served;
}

// Who comes in: as every client of the bridge (ClientGate.h), and only
// while the unit is live.
bool SharedEndpoint::Admit(std::uint32_t peer, std::string& refusal) {
  if (!Allowed(unit_.allow, peer)) {
    refusal = "not in ALLOW";
    return false;
  }
  if (!served_.Live()) {
    refusal = "the unit is not connected";
    return false;
  }
  std::vector<ClientPlace> taken;
  std::vector<Client*> clients;
  for (const auto& [source, client] : clients_) {
    taken.push_back({client->host, client->lastFrame});
    clients.push_back(client.get());
  }
  const Admission admission = AdmitClient(unit_.allow, unit_.maxClients, peer, taken);
  if (admission.evict >= 0) Close(*clients[std::size_t(admission.evict)], admission.evicted, true);
  refusal = admission.refusal;
  return admission.admitted;
}

void SharedEndpoint::Accept(tcp::Socket socket) {
  std::uint32_t peer = 0;
  std::string who, refusal;
  if (!PeerOf(socket, peer, who)) {
    refusal = "not an IPv4 peer";
  } else if (Admit(peer, refusal) && !(tcp::SockSetOptions(socket, tcp::kSocketBufferSize) &&
                                       tcp::SockSetBlocking(socket, false))) {
    refusal = tcp::SockErrorText(tcp::SockLastError(), 0);
  }
  if (!refusal.empty()) {
    // A unit that is down refuses everybody: only the others are worth a line.
    if (verbose_ || served_.Live()) {
      throttle_.Log("refused: " + KindOf(refusal), HostOf(peer),
                    Prefix() + "refused " + who + ": " + refusal);
    }
    tcp::SockClose(socket);
    return;
  }
  auto client = std::make_unique<Client>();
  Client& c = *client;
  c.source = NewCommandSource();
  c.socket = socket;
  c.host = peer;
  c.who = who;
  for (QTimer* timer : {&c.stall, &c.draining, &c.idle}) timer->setSingleShot(true);
  c.stall.setInterval(kClientStallMs);
  c.draining.setInterval(kClientStallMs);
  c.idle.setInterval(kClientIdleMs);
  connect(&c.stall, &QTimer::timeout, this, [this, &c] {
    if (c.ending) {
      Close(c, "said goodbye", false);
      return;
    }
    Close(c, "stalled inside a frame for " + std::to_string(kClientStallMs / 1000) + " s", true);
  });
  connect(&c.draining, &QTimer::timeout, this,
          [this, &c] { Close(c, "stopped reading its replies", true); });
  connect(&c.idle, &QTimer::timeout, this, [this, &c] {
    Close(c, "sent no frame for " + std::to_string(kClientIdleMs / 1000) + " s", true);
  });
  c.idle.start();
  c.readable = new QSocketNotifier(socket, QSocketNotifier::Read, this);
  connect(c.readable, &QSocketNotifier::activated, this, [this, &c] { Receive(c); });
  c.writable = new QSocketNotifier(socket, QSocketNotifier::Write, this);
  c.writable->setEnabled(false);
  connect(c.writable, &QSocketNotifier::activated, this, [this, &c] { SendWaiting(c); });
  clients_[c.source] = std::move(client);
  if (verbose_) Log(Prefix() + "client " + who + " connected");
}

void SharedEndpoint::Receive(Client& client) {
  char chunk[kReadChunk];
  int received = 0;
  while (tcp::SockRecv(client.socket, chunk, int(sizeof chunk), received)) {
    if (!client.ending) client.stream.Append(chunk, std::size_t(received));
    if (received < int(sizeof chunk)) break;
  }
  if (received <= 0 && tcp::SockLastError() != tcp::kErrWouldBlock) {
    // After a goodbye: it has read its last reply, and that was said.
    Close(client, ClosedText(tcp::SockLastError()), verbose_ && !client.ending);
    return;
  }
  if (!client.ending) Serve(client);
}

// Takes the client's frames in turn: one at a time, and none while a
// command of it is with the unit.
void SharedEndpoint::Serve(Client& client) {
  kdt::Frame frame;
  kdt::ClientFrame read;
  while (!client.awaitingReply && !client.ending) {
    const ClientStream::Next next = client.stream.Take(frame, read);
    if (next == ClientStream::Next::kNothing) break;
    client.lastFrame = Clock::now();
    client.idle.start();
    if (next == ClientStream::Next::kInvalid) {
      Close(client, "sent a frame that is not valid (" + HexCut(frame) + ")", true);
      return;
    }
    if (!Answer(client, read)) return;
  }
  if (client.stream.Flooded()) {
    Close(client,
          "sent " + std::to_string(client.stream.Waiting()) + " bytes without waiting for replies",
          true);
    return;
  }
  // A frame begun and not finished must be finished soon.
  if (!client.stream.InsideFrame()) {
    client.stall.stop();
  } else if (!client.stall.isActive()) {
    client.stall.start();
  }
}

// False when the client is gone or ending.
bool SharedEndpoint::Answer(Client& client, const kdt::ClientFrame& read) {
  switch (read.code) {
    case kdt::kCmdPoll:
      return Send(client, Served(served_.NewestReply()));
    case kdt::kCmdGoodbye:
      if (!Send(client, Served(served_.NewestReply()))) return false;
      Close(client, "said goodbye", verbose_, Ending::kAfterReplies);
      return false;
    default:
      break;
  }
  const std::uint64_t source = client.source;
  const bool input = read.code == kdt::kCmdSetInput;
  Command command{.unit = unit_.id,
                  .relay = read.relay,
                  .what = input ? Command::What::kInput : Command::What::kName,
                  .input = read.input,
                  .name = read.name,
                  .nameIn = Command::NameIn::kUnitBytes,
                  .by = Cause{Owner::Client(client.who)},
                  .source = source,
                  .until = Command::Until::kAnswered};
  QPointer<SharedEndpoint> self(this);
  const Result result =
      core_.Submit(std::move(command), [self, source](const Result&, const kdt::ReplyBytes* reply) {
        if (self) self->Replied(source, reply);
      });
  if (!result.Ok()) return AnswerRefused(client, read, result);
  client.awaitingReply = true;
  return true;
}

// A command that stands no chance: for a relay that is locked or held, the
// unit's own answer, the status; otherwise its client goes.
bool SharedEndpoint::AnswerRefused(Client& client, const kdt::ClientFrame& read,
                                   const Result& refused) {
  switch (refused.Why()) {
    case Refusal::kLocked:
    case Refusal::kProtected:
      throttle_.Log(
          refused.Why() == Refusal::kLocked ? "locked" : "protected", client.who,
          Prefix() + "client " + client.who + ": " + kdt::RelayLabel(read.relay) +
              (refused.Why() == Refusal::kLocked ? " is locked at the unit" : " is protected") +
              ": its command answered with the status, not sent");
      return Send(client, Served(served_.NewestReply()));
    case Refusal::kDown:
      Close(client, "the unit is not connected", verbose_);
      return false;
    case Refusal::kQueueFull:
      Close(client, "the unit's queue of commands is full", true);
      return false;
    default:
      Close(client, refused.Text(), true);
      return false;
  }
}

void SharedEndpoint::Replied(std::uint64_t source, const kdt::ReplyBytes* reply) {
  const auto found = clients_.find(source);
  if (found == clients_.end()) return;  // it has gone meanwhile
  Client& client = *found->second;
  client.awaitingReply = false;
  if (reply == nullptr) {
    Close(client, "the unit is not connected", verbose_);
  } else if (Send(client, Served(*reply))) {
    Serve(client);  // what it sent meanwhile
  }
}

// False when the client is gone.
bool SharedEndpoint::Send(Client& client, const kdt::ReplyBytes& reply) {
  const std::uint8_t* data = reply.data();
  std::size_t length = reply.size();
  if (client.unsent.empty()) {
    int sent = 0;
    if (!tcp::SockSend(client.socket, data, int(length), sent)) {
      if (tcp::SockLastError() != tcp::kErrWouldBlock) {
        Close(client, ClosedText(tcp::SockLastError()), verbose_);
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
    Close(client, ClosedText(tcp::SockLastError()), verbose_);
    return;
  }
  client.unsent.erase(0, std::size_t(sent));
  client.draining.start();  // it is taking them: time again
  if (!client.unsent.empty()) return;
  client.writable->setEnabled(false);
  client.draining.stop();
  if (client.ending) Finish(client);
}

void SharedEndpoint::CloseAll(const std::string& reason) {
  if (clients_.empty()) return;
  Log(Prefix() + std::to_string(clients_.size()) + " client" + (clients_.size() == 1 ? "" : "s") +
      " closed: " + reason);
  while (!clients_.empty()) Close(*clients_.begin()->second, reason, false);
}

void SharedEndpoint::LogClient(const Client& client, const std::string& reason) {
  throttle_.Log(KindOf(reason), HostOf(client.host),
                Prefix() + "client " + client.who + " closed: " + reason);
}

// The client goes at once, its object with it, so that nothing of it is
// touched after this; or, after its goodbye, once its last reply is out.
void SharedEndpoint::Close(Client& client, const std::string& reason, bool log, Ending ending) {
  if (log) LogClient(client, reason);
  if (ending == Ending::kAfterReplies) {
    client.ending = true;
    client.stream.Clear();
    client.idle.stop();
    if (client.unsent.empty()) Finish(client);
    return;
  }
  Unwatch(client);
  tcp::SockClose(client.socket);
  clients_.erase(client.source);
}

// Its last reply is out: the connection's end follows it, and what the
// client still sends is read and dropped until it closes, so that nothing
// unread turns the close into a reset that could cost it that reply.
void SharedEndpoint::Finish(Client& client) {
  tcp::SockShutdownSend(client.socket);
  client.draining.stop();
  client.stall.start();
}

void SharedEndpoint::Unwatch(Client& client) {
  for (QSocketNotifier* notifier : {client.readable, client.writable}) {
    notifier->setEnabled(false);  // before its socket goes
    notifier->disconnect(this);
    notifier->deleteLater();
  }
}

}  // namespace bridge
