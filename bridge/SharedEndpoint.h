// A unit's shared endpoint (LISTEN): it speaks the unit's protocol to each
// client, so that the console, kdt212ctl and any other tool work through it
// unchanged, while the unit sees one connection only, the bridge's session.
// A poll is answered at once with the newest status; a command goes to the
// unit in the session's next cycle, in the order the commands arrived from
// all clients, and its client gets the unit's own reply to it; a goodbye is
// answered with the status and ends that client alone. A client that breaks
// the protocol, stalls inside a frame or stops reading its replies is
// closed, and nothing of it reaches the unit. While the session is not live,
// clients are closed at once, as a unit that is down would be.
//
// Clients are plain sockets of the socket layer, each watched by the event
// loop: every poll of every client passes here, and a socket object of the
// toolkit's would cost a good part of the time a poll takes.
#pragma once

#include <QObject>
#include <QTcpServer>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "BridgeConfig.h"
#include "UnitFrames.h"

namespace bridge {

// What the endpoint needs of the unit's session.
class SharedSession {
 public:
  virtual ~SharedSession() = default;
  // A status of this connection has come: polls can be answered.
  virtual bool Live() const = 0;
  virtual const kdt::ReplyBytes& NewestReply() const = 0;
  // Queues a command whose reply comes back through DeliverReply.
  virtual bool QueueCommand(const kdt::Frame& frame, std::uint32_t token) = 0;
};

// How long a client may take to finish a frame it began, and to take what
// it was sent.
constexpr int kClientStallMs = 3000;

class SharedEndpoint : public QObject {
 public:
  SharedEndpoint(const UnitConfig& unit, SharedSession& session, bool verbose);
  ~SharedEndpoint() override;

  // Listens, unless it already does; false, with a log line the first time,
  // when the address cannot be had. Called again until it can.
  bool Listen();
  // The reply to the command queued with `token`, for its client.
  void DeliverReply(std::uint32_t token, const kdt::ReplyBytes& reply);
  // The session is no longer live: every client goes.
  void CloseAll(const std::string& reason);

 private:
  class Listener;
  struct Client;
  enum class Ending { kAtOnce, kAfterReplies };

  void Accept(int fd);
  bool Admit(std::uint32_t peer, std::string& refusal) const;
  void Receive(Client& client);
  void Serve(Client& client);
  bool TakeFrame(Client& client, kdt::Frame& frame);
  bool Answer(Client& client, const kdt::Frame& frame);
  bool Send(Client& client, const std::uint8_t* data, std::size_t length);
  void SendWaiting(Client& client);
  void Close(Client& client, const std::string& reason, bool log, Ending ending = Ending::kAtOnce);
  std::string Prefix() const;

  const UnitConfig unit_;
  SharedSession& session_;
  const bool verbose_;
  std::unique_ptr<Listener> listener_;
  bool listenFailureLogged_ = false;
  std::uint32_t nextToken_ = 0;
  std::unordered_map<std::uint32_t, std::unique_ptr<Client>> clients_;  // by token
};

}  // namespace bridge
