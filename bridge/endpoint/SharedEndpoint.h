// A unit's shared endpoint (LISTEN): it speaks the unit's protocol to each
// client, so that the console, kdt212ctl and any other tool work through it
// unchanged, while the unit sees one connection only, the bridge's session.
// A poll is answered at once with the newest status; a command goes through
// the core's door to the unit in its client's turn among everyone who shares
// the unit, and its client gets the unit's own reply to it; one that the
// door refuses because the relay is locked at the unit or someone else
// protects it is answered with the status, as the unit answers for a locked
// relay, and never reaches the unit. A relay that someone protects shows
// locked, so that the console keeps its hands off it. A goodbye is answered
// with the status and ends that client alone, its reply delivered before
// the close. A client that breaks the protocol, sends what the console
// never would, stalls inside a frame, stops reading its replies or sends
// nothing for 30 s is closed, and nothing of it reaches the unit. While the
// unit is not live, clients are closed at once, as a unit that is down would
// close them. No host holds more than half the places while another waits
// for one (ClientGate.h).
//
// The clients are plain sockets of the socket layer, each
// watched by the event loop: every poll of every client passes here, and a
// socket object of the toolkit's would cost a good part of the time a poll
// takes.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "TcpSockets.h"
#include "UnitFrames.h"
#include "config/UnitConfig.h"
#include "core/Core.h"
#include "core/Face.h"
#include "core/Log.h"
#include "endpoint/ClientStream.h"
#include "listen/ClientConnection.h"
#include "listen/Listener.h"

namespace bridge {

// How long a client may take to finish a frame it began, and to take what
// it was sent.
constexpr int kClientStallMs = 3000;
// How long a client may stay without sending a frame: the console polls
// back to back, and a tool that has gone quiet holds a place for nothing.
constexpr int kClientIdleMs = 30000;

// The key of [UNIT] that asks for a unit's endpoint, and says where it
// listens.
constexpr const char* kListenKey = "LISTEN";

class SharedEndpoint : public QObject, public UnitFace {
 public:
  // Listens on the unit's LISTEN address (Listener.h).
  SharedEndpoint(const UnitConfig& unit, Core& core, bool verbose);
  ~SharedEndpoint() override;

  // ALLOW and MAXCLIENTS anew (LISTEN is the same): clients that ALLOW no
  // longer names go.
  void Reconfigure(const UnitConfig& unit) override;
  // Once the unit is no longer live, every client goes.
  void UnitChanged(const Unit& unit) override;

 private:
  struct Client;
  enum class Ending { kAtOnce, kAfterReplies };

  void CloseAll(const std::string& reason);
  kdt::ReplyBytes Served(const kdt::ReplyBytes& reply) const;
  void Accept(tcp::Socket socket);
  void Receive(Client& client);
  void Serve(Client& client);
  bool Answer(Client& client, const kdt::ClientFrame& read);
  bool AnswerRefused(Client& client, const kdt::ClientFrame& read, const Result& refused);
  void Replied(std::uint64_t token, const kdt::ReplyBytes* reply);
  bool Send(Client& client, const kdt::ReplyBytes& reply);
  void Close(Client& client, const std::string& reason, bool log, Ending ending = Ending::kAtOnce);
  void Finish(Client& client);
  void LogClient(const Client& client, const std::string& reason);
  std::string Prefix() const;

  UnitConfig unit_;
  Core& core_;
  const Unit& served_;
  const bool verbose_;
  LogThrottle throttle_;
  std::unordered_map<std::uint64_t, std::unique_ptr<Client>> clients_;  // by source
  Listener listener_;  // last: it may hand on a client as soon as it is made
};

}  // namespace bridge
