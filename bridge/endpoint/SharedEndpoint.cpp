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

constexpr std::size_t kReadChunk = 4096;

std::string HostOf(std::uint32_t address) {
  return kdt::IPToStr(address);
}

}  // namespace

struct SharedEndpoint::Client {
  std::uint64_t source = 0;  // its commands', never reused
  std::unique_ptr<ClientConnection> connection;
  std::uint32_t host = 0;      // the peer's address value
  std::string who;             // "127.0.0.1:40000"
  ClientStream stream;         // what it sent that is not yet a whole frame, or waits its turn
  bool awaitingReply = false;  // a command of it is with the unit
  bool ending = false;         // said goodbye: its last reply goes, then the connection
  Clock::time_point lastFrame = Clock::now();
  QTimer stall;  // a frame begun and not finished; the end of a goodbye
  QTimer idle;   // no frame for a while
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
void SharedEndpoint::Accept(tcp::Socket socket) {
  std::vector<ClientPlace> places;
  std::vector<Client*> clients;
  for (const auto& [source, client] : clients_) {
    places.push_back({client->host, client->lastFrame});
    clients.push_back(client.get());
  }
  const Arrival arrival = Arrive(
      socket, unit_, places,
      [&](std::size_t place, const std::string& why) { Close(*clients[place], why, true); },
      served_.Live() ? "" : "the unit is not connected");
  if (!arrival.refusal.empty()) {
    // A unit that is down refuses everybody: only the others are worth a line.
    if (verbose_ || served_.Live()) {
      throttle_.Log("refused: " + KindOf(arrival.refusal), HostOf(arrival.peer),
                    Prefix() + "refused " + arrival.who + ": " + arrival.refusal);
    }
    tcp::SockClose(socket);
    return;
  }
  auto client = std::make_unique<Client>();
  Client& c = *client;
  c.source = NewCommandSource();
  c.host = arrival.peer;
  c.who = arrival.who;
  c.connection = std::make_unique<ClientConnection>(
      socket, kClientStallMs,
      ClientConnection::Watch{.readable = [this, &c] { Receive(c); },
                              .failed =
                                  [this, &c](ClientConnection::Failure failure, int error) {
                                    if (failure == ClientConnection::Failure::kStoppedReading) {
                                      return Close(c, "stopped reading its replies", true);
                                    }
                                    Close(c, ClosedText(error), verbose_);
                                  },
                              .drained =
                                  [this, &c] {
                                    if (c.ending) Finish(c);
                                  }});
  for (QTimer* timer : {&c.stall, &c.idle}) timer->setSingleShot(true);
  c.stall.setInterval(kClientStallMs);
  c.idle.setInterval(kClientIdleMs);
  connect(&c.stall, &QTimer::timeout, this, [this, &c] {
    if (c.ending) {
      Close(c, "said goodbye", false);
      return;
    }
    Close(c, "stalled inside a frame for " + std::to_string(kClientStallMs / 1000) + " s", true);
  });
  connect(&c.idle, &QTimer::timeout, this, [this, &c] {
    Close(c, "sent no frame for " + std::to_string(kClientIdleMs / 1000) + " s", true);
  });
  c.idle.start();
  clients_[c.source] = std::move(client);
  if (verbose_) Log(Prefix() + "client " + c.who + " connected");
}

void SharedEndpoint::Receive(Client& client) {
  char chunk[kReadChunk];
  int received = 0;
  while (tcp::SockRecv(client.connection->Socket(), chunk, int(sizeof chunk), received)) {
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
  return client.connection->Send(reply.data(), reply.size());
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
    if (!client.connection->Sending()) Finish(client);
    return;
  }
  clients_.erase(client.source);
}

// Its last reply is out: the connection's end follows it, and what the
// client still sends is read and dropped until it closes, so that nothing
// unread turns the close into a reset that could cost it that reply.
void SharedEndpoint::Finish(Client& client) {
  tcp::SockShutdownSend(client.connection->Socket());
  client.stall.start();
}

}  // namespace bridge
