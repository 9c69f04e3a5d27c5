#include "UnitCommands.h"

#include <QPointer>

#include "Relays.h"
#include "SharedUnit.h"
#include "UnitFrames.h"

namespace bridge {

struct UnitCommands::Pending {
  Request request;
  Done done;
  QTimer timer;
};

std::optional<UnitCommands::Result> Obstacle(const SharedUnit& unit, int relay,
                                             const std::string& owner) {
  using Outcome = UnitCommands::Outcome;
  if (!unit.Live()) {
    return UnitCommands::Result{Outcome::kNotConnected,
                                unit.Config().id + " is not connected: " + unit.DownReason()};
  }
  const std::string label = kdt::RelayLabel(relay);
  if (kdt::IsLocked(unit.Status().state[relay - 1])) {
    return UnitCommands::Result{Outcome::kLocked, label + " is locked at the unit"};
  }
  if (const Protect* protect = unit.ProtectOf(relay); protect != nullptr && protect->by != owner) {
    return UnitCommands::Result{Outcome::kProtected,
                                label + " is protected by " + OwnerText(protect->by)};
  }
  return std::nullopt;
}

UnitCommands::UnitCommands() = default;
UnitCommands::~UnitCommands() = default;

SharedUnit* UnitCommands::Find(const std::string& id) const {
  for (SharedUnit* unit : units_) {
    if (unit->Config().id == id) return unit;
  }
  return nullptr;
}

void UnitCommands::Send(Request request, Done done) {
  SharedUnit* unit = Find(request.unit);
  if (unit == nullptr) return done({Outcome::kNotConnected, "no unit " + request.unit});
  if (const auto obstacle = Obstacle(*unit, request.relay, request.owner)) return done(*obstacle);
  const kdt::Frame frame =
      request.input ? kdt::SetInputFrame(std::uint8_t(*request.input), std::uint8_t(request.relay))
                    : kdt::SetNameFrame(std::uint8_t(request.relay), request.name);
  pending_.push_back(std::make_unique<Pending>());
  Pending& pending = *pending_.back();
  pending.request = std::move(request);
  pending.done = std::move(done);
  QPointer<UnitCommands> self(this);
  Pending* key = &pending;
  const Submitted submitted = unit->Submit({pending.request.source, frame,
                                            [self, key](const kdt::ReplyBytes* reply) {
                                              if (self) self->Answered(key, reply != nullptr);
                                            },
                                            pending.request.by, pending.request.owner});
  switch (submitted) {
    case Submitted::kUnitDown:
      return Finish(pending, Outcome::kNotConnected, unit->Config().id + " is not connected");
    case Submitted::kQueueFull:
      return Finish(pending, Outcome::kQueueFull, "too many commands wait for the unit");
    case Submitted::kProtected:
      return Finish(pending, Outcome::kProtected,
                    kdt::RelayLabel(key->request.relay) + " is protected");
    case Submitted::kQueued:
    case Submitted::kReplaced:
      break;
  }
  pending.timer.setSingleShot(true);
  pending.timer.setTimerType(Qt::PreciseTimer);  // never early: its sender was told 3 s
  connect(&pending.timer, &QTimer::timeout, this, [this, key] {
    Finish(*key, Outcome::kTimedOut,
           kdt::RelayLabel(key->request.relay) + " did not change within 3 s");
  });
  pending.timer.start(kCommandTimeMs);
}

// The unit answered the command, or never will: a command that has ended
// meanwhile (its time up) is not looked at again.
void UnitCommands::Answered(Pending* key, bool answered) {
  for (auto& pending : pending_) {
    if (pending.get() != key) continue;
    if (answered) {
      Settle(*pending);
    } else {
      Finish(*pending, Outcome::kLost, "the unit was lost before it answered");
    }
    return;
  }
}

// Whether the unit's status shows what the command asked for, or what
// stands in its way now.
void UnitCommands::Settle(Pending& pending) {
  const Request& request = pending.request;
  SharedUnit* unit = Find(request.unit);
  if (unit == nullptr || !unit->Live()) {
    return Finish(pending, Outcome::kLost, "the unit was lost before it answered");
  }
  const std::uint8_t state = unit->Status().state[request.relay - 1];
  const bool shows = request.input ? kdt::InputOf(state) == *request.input
                                   : unit->Status().name[request.relay - 1] == request.name;
  if (shows) return Finish(pending, Outcome::kShown);
  if (kdt::IsLocked(state)) {
    Finish(pending, Outcome::kLocked, kdt::RelayLabel(request.relay) + " is locked at the unit");
  }
}

void UnitCommands::Finish(Pending& pending, Outcome outcome, const std::string& text) {
  const Done done = std::move(pending.done);
  pending_.remove_if([&](const std::unique_ptr<Pending>& p) { return p.get() == &pending; });
  done({outcome, text});
}

void UnitCommands::UnitChanged(const SharedUnit& unit) {
  std::vector<Pending*> waiting;
  for (auto& pending : pending_) {
    if (pending->request.unit == unit.Config().id) waiting.push_back(pending.get());
  }
  for (Pending* pending : waiting) {
    // An earlier one's `done` may have ended it meanwhile.
    if (std::any_of(pending_.begin(), pending_.end(),
                    [pending](const auto& p) { return p.get() == pending; })) {
      Settle(*pending);
    }
  }
}

}  // namespace bridge
