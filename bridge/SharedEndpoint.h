// A unit's shared endpoint (LISTEN): it speaks the unit's protocol to each
// client, so that the console, kdt212ctl and any other tool work through it
// unchanged, while the unit sees one connection only, the bridge's session.
// A poll is answered at once with the newest status; a command goes to the
// unit in its client's turn among everyone who shares the unit, and its
// client gets the unit's own reply to it; a goodbye is answered with the
// status and ends that client alone, its reply delivered before the close.
// A client that breaks the protocol, sends what the console never would,
// stalls inside a frame, stops reading its replies or sends nothing for
// 30 s is closed, and nothing of it reaches the unit. While the session is
// not live, clients are closed at once, as a unit that is down would close
// them. No host holds more than half the places while another waits for one.
//
// The listener and the clients are plain sockets of the socket layer, each
// watched by the event loop: every poll of every client passes here, and a
// socket object of the toolkit's would cost a good part of the time a poll
// takes.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "BridgeConfig.h"
#include "ClientStream.h"
#include "CommandQueue.h"
#include "Log.h"
#include "TcpSockets.h"
#include "UnitFrames.h"

namespace bridge {

// What the endpoint needs of the unit's session.
class SharedSession {
 public:
  virtual ~SharedSession() = default;
  // A status of this connection has come: polls can be answered.
  virtual bool Live() const = 0;
  virtual const kdt::ReplyBytes& NewestReply() const = 0;
  // A reply as the endpoint's clients see it: a relay that someone holds
  // (Protects.h) shows locked, as the console then keeps its hands off it.
  virtual kdt::ReplyBytes Served(const kdt::ReplyBytes& reply) const = 0;
  virtual Submitted Submit(QueuedCommand command, bool newestWins) = 0;
};

// How long a client may take to finish a frame it began, and to take what
// it was sent.
constexpr int kClientStallMs = 3000;
// How long a client may stay without sending a frame: the console polls
// back to back, and a tool that has gone quiet holds a place for nothing.
constexpr int kClientIdleMs = 30000;

class SharedEndpoint : public QObject {
 public:
  SharedEndpoint(const UnitConfig& unit, SharedSession& session, bool verbose);
  ~SharedEndpoint() override;

  // Listens, unless it already does; false, with a log line the first time,
  // when the address cannot be had. Called again until it can.
  bool Listen();
  // ALLOW and MAXCLIENTS anew (LISTEN is the same): clients that ALLOW no
  // longer names go.
  void Reconfigure(const UnitConfig& unit);
  // The session is no longer live: every client goes.
  void CloseAll(const std::string& reason);

 private:
  struct Client;
  enum class Ending { kAtOnce, kAfterReplies };

  void TakeClients();
  void Accept(tcp::Socket socket);
  bool Admit(std::uint32_t peer, std::string& refusal);
  void Receive(Client& client);
  void Serve(Client& client);
  bool Answer(Client& client, const kdt::Frame& frame, const kdt::ClientFrame& read);
  void Replied(std::uint64_t token, const kdt::ReplyBytes* reply);
  bool Send(Client& client, const std::uint8_t* data, std::size_t length);
  void SendWaiting(Client& client);
  void Close(Client& client, const std::string& reason, bool log, Ending ending = Ending::kAtOnce);
  void Finish(Client& client);
  void Unwatch(Client& client);
  void LogClient(const Client& client, const std::string& reason);
  std::string Prefix() const;

  UnitConfig unit_;
  SharedSession& session_;
  const bool verbose_;
  tcp::Socket listener_ = tcp::kInvalidSocket;
  std::unique_ptr<QSocketNotifier> incoming_;
  QTimer acceptAgain_;     // after a failure to take a client
  DownNotice listenDown_;  // the LISTEN address cannot be had
  DownNotice acceptDown_;  // clients cannot be taken (no descriptor left)
  LogThrottle throttle_;
  std::unordered_map<std::uint64_t, std::unique_ptr<Client>> clients_;  // by source
};

}  // namespace bridge
