#include "router/RouterFace.h"

#include "CodePage.h"
#include "Relays.h"
#include "UnitProcIP.h"
#include "core/ClientGate.h"

namespace bridge {
namespace {

constexpr std::size_t kReadChunk = 4096;

// The unit as a router, from what the core holds; while it is down, what
// was last known of its destinations stays.
RouterView ViewOf(const Core& core, const Unit& unit, const RouterView& last) {
  RouterView view = last;
  view.present = unit.Live();
  view.sources = unit.Config().inputLabels;
  for (int index = 0; index < kRouterDestinations; ++index) {
    RouterDestination& destination = view.destinations[std::size_t(index)];
    const int relay = kdt::kRelaysLeftToRight[std::size_t(index)];
    const Protect* protect = core.ProtectOf(unit.Id(), relay);
    destination.protectedBy = protect != nullptr ? protect->by.Text() : "";
    if (!unit.Live()) continue;
    const std::uint8_t state = unit.Status().state[relay - 1];
    destination.source = kdt::InputOf(state);
    destination.lockedAtUnit = kdt::IsLocked(state);
    // A name with control characters must not break a protocol's lines.
    destination.name =
        kdt::PrintableText(unit.Status().name[std::size_t(relay - 1)], kdt::Backslash::kKept);
  }
  return view;
}

}  // namespace

RouterFace::RouterFace(const UnitConfig& unit, Core& core, bool verbose, std::string_view name,
                       std::string_view key)
    : unit_(unit),
      core_(core),
      served_(*core.FindUnit(unit.id)),
      verbose_(verbose),
      name_(name),
      view_(ViewOf(core, served_, {})),
      listener_(*unit.FaceAddress(key), Prefix(), name_ + " on",
                [this](tcp::Socket socket) { Accept(socket); }) {}

RouterFace::~RouterFace() {
  while (!clients_.empty()) Close(*clients_.begin()->second, "the bridge ends", false);
}

int RouterFace::RelayOf(int destination) {
  return kdt::kRelaysLeftToRight[std::size_t(destination - 1)];
}

std::string RouterFace::Prefix() const {
  return unit_.id + ": ";
}

void RouterFace::Reconfigure(const UnitConfig& unit) {
  unit_ = unit;
  EachClient([this](Client& client) {
    if (!Allowed(unit_.allow, client.host)) Close(client, "no longer in ALLOW", true);
  });
  Refresh();
}

void RouterFace::UnitChanged(const Unit& unit) {
  if (&unit == &served_) Refresh();
}

void RouterFace::Refresh() {
  if (answering_) return;  // ReceiveFrom does, after its answers
  RouterView now = ViewOf(core_, served_, view_);
  if (now == view_) return;
  std::swap(now, view_);
  Changed(now);
}

// Who comes in: as every client of the bridge (ClientGate.h), the unit up
// or down: a router that lost its crosspoints still says so.
void RouterFace::Accept(tcp::Socket socket) {
  static std::uint64_t lastId = 0;
  std::vector<ClientPlace> places;
  std::vector<Client*> clients;
  for (const auto& [id, client] : clients_) {
    places.push_back({client->host, client->lastByte});
    clients.push_back(client.get());
  }
  const Arrival arrival =
      Arrive(socket, unit_, places,
             [&](std::size_t place, const std::string& why) { Close(*clients[place], why, true); });
  if (!arrival.refusal.empty()) {
    throttle_.Log("refused: " + KindOf(arrival.refusal), kdt::IPToStr(arrival.peer),
                  Prefix() + name_ + " refused " + arrival.who + ": " + arrival.refusal);
    tcp::SockClose(socket);
    return;
  }
  std::unique_ptr<Client> made = NewClient();
  Client& client = *made;
  client.id = ++lastId;
  client.connection = std::make_unique<ClientConnection>(
      socket, kRouterDrainMs,
      ClientConnection::Watch{.readable = [this, &client] { Receive(client); },
                              .failed =
                                  [this, &client](ClientConnection::Failure failure, int error) {
                                    if (failure == ClientConnection::Failure::kStoppedReading) {
                                      return Close(client, "stopped reading what it was sent",
                                                   true);
                                    }
                                    Close(client, ClosedText(error), verbose_);
                                  }});
  client.host = arrival.peer;
  client.who = arrival.who;
  client.owner = Owner(name_, kdt::IPToStr(arrival.peer));
  client.idle.setSingleShot(true);
  client.idle.setInterval(kRouterIdleMs);
  connect(&client.idle, &QTimer::timeout, this, [this, &client] {
    Close(client, "sent nothing for " + std::to_string(kRouterIdleMs / 1000) + " s", true);
  });
  client.idle.start();
  clients_[client.id] = std::move(made);
  if (verbose_) Log(client, "connected");
  Greet(client);
}

void RouterFace::Receive(Client& client) {
  char chunk[kReadChunk];
  int received = 0;
  const std::uint64_t id = client.id;
  while (tcp::SockRecv(client.connection->Socket(), chunk, int(sizeof chunk), received)) {
    client.lastByte = Clock::now();
    client.idle.start();
    ReceiveFrom(client, std::string_view(chunk, std::size_t(received)));
    if (clients_.count(id) == 0) return;
    if (received < int(sizeof chunk)) return;
  }
  if (tcp::SockLastError() != tcp::kErrWouldBlock) {
    Close(client, ClosedText(tcp::SockLastError()), verbose_);
  }
}

void RouterFace::ReceiveFrom(Client& client, std::string_view bytes) {
  answering_ = true;
  Received(client, bytes);
  answering_ = false;
  Refresh();
}

bool RouterFace::Send(Client& client, std::string_view bytes) {
  return client.connection->Send(bytes.data(), bytes.size());
}

void RouterFace::Log(const Client& client, const std::string& text) {
  throttle_.Log(KindOf(text), kdt::IPToStr(client.host),
                Prefix() + name_ + " client " + client.who + " " + text);
}

// The client goes at once, its object with it, so that nothing of it is
// touched after this.
void RouterFace::Close(Client& client, const std::string& reason, bool log) {
  if (log) Log(client, "closed: " + reason);
  clients_.erase(client.id);
}

Result RouterFace::Take(const Client& client, const std::vector<Route>& routes) {
  if (unit_.routerRole == RouterRole::kView) {
    return Result::Refused(Refusal::kNotAllowed, "ROUTER_ROLE is view");
  }
  if (routes.size() == 1) {
    return core_.Submit(Command{.unit = unit_.id,
                                .relay = RelayOf(routes[0].destination),
                                .input = routes[0].source,
                                .by = Cause{client.owner},
                                .source = client.id,
                                .until = Command::Until::kShown},
                        [](const Result&, const kdt::ReplyBytes*) {});
  }
  std::vector<SalvoStep> steps;
  for (const Route& route : routes) {
    steps.push_back({unit_.id, RelayOf(route.destination), route.source});
  }
  // A refusal comes at once, before anything is sent; a take's end comes
  // later and is shown by the view.
  auto checking = std::make_shared<bool>(true);
  std::string refusal;
  core_.TakeSteps(std::move(steps), client.owner, [checking, &refusal](const TakeResult& answer) {
    if (!*checking || answer.result != "refused") return;
    for (const TakeRelay& relay : answer.relays) {
      if (refusal.empty() && relay.outcome != "not sent") refusal = relay.outcome;
    }
  });
  *checking = false;
  if (refusal.empty()) return Result::Done();
  return Result::Refused(Refusal::kProtected, refusal);
}

Result RouterFace::Rename(const Client& client, int destination, const std::string& utf8) {
  if (unit_.routerRole == RouterRole::kView) {
    return Result::Refused(Refusal::kNotAllowed, "ROUTER_ROLE is view");
  }
  return core_.Submit(Command{.unit = unit_.id,
                              .relay = RelayOf(destination),
                              .what = Command::What::kName,
                              .name = utf8,
                              .by = Cause{client.owner},
                              .source = client.id,
                              .until = Command::Until::kShown},
                      [](const Result&, const kdt::ReplyBytes*) {});
}

Result RouterFace::Protect(const Client& client, int destination, ProtectChange change) {
  if (unit_.routerRole == RouterRole::kView ||
      (change == ProtectChange::kForce && unit_.routerRole != RouterRole::kAdmin)) {
    return Result::Refused(Refusal::kNotAllowed,
                           "ROUTER_ROLE is " + std::string(RouterRoleText(unit_.routerRole)));
  }
  return core_.SetProtect(unit_.id, RelayOf(destination), client.owner,
                          change == ProtectChange::kHold, change == ProtectChange::kForce);
}

}  // namespace bridge
