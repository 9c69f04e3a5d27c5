// What the router faces of a unit (the 9990 text protocol, SW-P-08) share:
// a router control protocol spoken to each client on the face's own
// address, where the unit is a router of 2 sources and 3 destinations
// (RouterView.h). Who may connect is the endpoint's one rule (ClientGate.h),
// each face counting its own places. A client that sends not one byte for
// 60 s is closed: both protocols keep their links alive more often. Each
// client is an owner of its own, "videohub 10.0.0.5" (the face's name and
// the client's host, no port), so that a controller that reconnects still
// owns what it protected; what it asks for goes through the core's one door
// as that owner, within what ROUTER_ROLE allows. Each face says a change of
// the view to its clients in its own words, and only what changed.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "TcpSockets.h"
#include "config/UnitConfig.h"
#include "core/Core.h"
#include "core/Face.h"
#include "core/Log.h"
#include "listen/ClientConnection.h"
#include "listen/Listener.h"
#include "router/RouterView.h"

namespace bridge {

// How long a router client may send nothing at all.
constexpr int kRouterIdleMs = 60000;
// How long it may leave what it was sent untaken.
constexpr int kRouterDrainMs = 3000;

class RouterFace : public QObject, public UnitFace {
 public:
  // The face's name ("videohub": its owners' and its log lines') and the
  // key of [UNIT] that gives its address.
  RouterFace(const UnitConfig& unit, Core& core, bool verbose, std::string_view name,
             std::string_view key);
  ~RouterFace() override;

  // ALLOW, MAXCLIENTS, the sources' labels and ROUTER_ROLE anew: clients
  // that ALLOW no longer names go, and the others hear of new labels.
  void Reconfigure(const UnitConfig& unit) override;
  void UnitChanged(const Unit& unit) override;

 protected:
  using Clock = std::chrono::steady_clock;

  struct Client {
    virtual ~Client() = default;
    std::uint64_t id = 0;
    std::unique_ptr<ClientConnection> connection;
    std::uint32_t host = 0;
    std::string who;  // "127.0.0.1:40000"
    Owner owner{""};  // "videohub 127.0.0.1"
    Clock::time_point lastByte = Clock::now();
    QTimer idle;  // no byte for a while
  };

  // A crosspoint: destination 1 to 3 (RELAY A, B, C), source 1 or 2.
  struct Route {
    int destination = 0;
    int source = 0;
  };
  enum class ProtectChange { kHold, kRelease, kForce };

  // --- What each face adds.
  virtual std::unique_ptr<Client> NewClient() = 0;
  // What a client is told as it comes.
  virtual void Greet(Client& client) = 0;
  // What it sent, split anyhow; the face may close the client for it.
  virtual void Received(Client& client, std::string_view bytes) = 0;
  // The view was `before`, and is View() now: tell every client.
  virtual void Changed(const RouterView& before) = 0;

  // --- What the faces use.
  const RouterView& View() const { return view_; }
  const UnitConfig& Config() const { return unit_; }
  std::string Prefix() const;
  // The relay's number of a destination.
  static int RelayOf(int destination);
  // Every client, in the order they came; one closed meanwhile is skipped.
  template <typename Tell>
  void EachClient(Tell tell) {
    std::vector<std::uint64_t> ids;
    for (const auto& [id, client] : clients_) ids.push_back(id);
    for (std::uint64_t id : ids) {
      if (const auto found = clients_.find(id); found != clients_.end()) tell(*found->second);
    }
  }
  // False when the client is gone.
  bool Send(Client& client, std::string_view bytes);
  void Close(Client& client, const std::string& reason, bool log);

  // The client's routes, all or nothing: refused at once when any cannot
  // be carried out now, and nothing is sent; else on their way to the unit,
  // and the view shows them when the unit does.
  Result Take(const Client& client, const std::vector<Route>& routes);
  Result Rename(const Client& client, int destination, const std::string& utf8);
  Result Protect(const Client& client, int destination, ProtectChange change);

 private:
  void Accept(tcp::Socket socket);
  void Receive(Client& client);
  void Refresh();
  void ReceiveFrom(Client& client, std::string_view bytes);
  void Log(const Client& client, const std::string& text);

  UnitConfig unit_;
  Core& core_;
  const Unit& served_;
  const bool verbose_;
  const std::string name_;
  RouterView view_;
  // While a client's request is answered, a change it made is told after
  // the answer.
  bool answering_ = false;
  LogThrottle throttle_;
  std::map<std::uint64_t, std::unique_ptr<Client>> clients_;
  Listener listener_;  // last: it may hand on a client as soon as it is made
};

}  // namespace bridge
