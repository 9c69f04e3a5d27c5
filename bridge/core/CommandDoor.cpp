#include "core/CommandDoor.h"

#include <QPointer>
#include <algorithm>

#include "RelayName.h"
#include "Relays.h"

namespace bridge {
namespace {

Result Lost() {
  return Result::Refused(Refusal::kLost, "the unit was lost before it answered");
}

Result Locked(int relay) {
  return Result::Refused(Refusal::kLocked, kdt::RelayLabel(relay) + " is locked at the unit");
}

// The name as the unit's bytes: a person's text by the name rule; the
// unit's own bytes as the set-name command's field carries them.
Result CheckName(Command& command) {
  if (command.nameIn == Command::NameIn::kUnitBytes) {
    if (kdt::FitsNameField(command.name)) return Result::Done();
    return Result::Refused(Refusal::kName, kdt::RelayLabel(command.relay) +
                                               " keeps its name: not what a set-name field holds");
  }
  std::string bytes, problem;
  if (!kdt::EncodeRelayName(command.name, bytes, problem)) {
    return Result::Refused(Refusal::kName,
                           kdt::RelayLabel(command.relay) + " keeps its name: " + problem);
  }
  command.name = std::move(bytes);
  command.nameIn = Command::NameIn::kUnitBytes;
  return Result::Done();
}

}  // namespace

struct CommandDoor::Waiting {
  Waiting(Command waitingCommand, Done whenDone)
      : command(std::move(waitingCommand)), done(std::move(whenDone)), id(++lastId) {}
  Command command;
  Done done;
  const std::uint64_t id;
  bool answered = false;  // the unit has answered it
  bool pending = false;   // its sender was told so; its end follows
  QTimer timer;
  static inline std::uint64_t lastId = 0;
};

CommandDoor::CommandDoor(const Units& units, const Protects& protects)
    : units_(units), protects_(protects) {}

CommandDoor::~CommandDoor() = default;

Result CommandDoor::Check(Command& command) const {
  const Unit* unit = units_.Find(command.unit);
  if (unit == nullptr) return Result::Refused(Refusal::kNoSuchUnit, "no unit " + command.unit);
  if (command.what == Command::What::kName) {
    if (Result name = CheckName(command); !name.Ok()) return name;
  }
  if (!unit->Live()) {
    return Result::Refused(Refusal::kDown,
                           command.unit + " is not connected: " + unit->DownReason());
  }
  if (command.what == Command::What::kInput &&
      kdt::IsLocked(unit->Status().state[command.relay - 1])) {
    return Locked(command.relay);
  }
  return protects_.Check(command.unit, command.relay, command.by.owner);
}

// `done` may be called before this returns: when the unit's session has
// just ended, say.
Result CommandDoor::Submit(Command command, Done done) {
  if (Result check = Check(command); !check.Ok()) return check;
  Unit& unit = *units_.Find(command.unit);
  Waiting* waiting = nullptr;
  std::function<void(const kdt::ReplyBytes*)> answered;
  if (command.until == Command::Until::kShown) {
    waiting = Wait(command, std::move(done));
    QPointer<CommandDoor> self(this);
    answered = [self, waiting](const kdt::ReplyBytes* reply) {
      if (self) self->Answered(waiting, reply != nullptr);
    };
  } else {
    answered = [done = std::move(done)](const kdt::ReplyBytes* reply) {
      if (done) done(reply != nullptr ? Result::Done() : Lost(), reply);
    };
  }
  const std::uint64_t id = waiting != nullptr ? waiting->id : 0;
  switch (unit.Queue({std::move(command), std::move(answered), id})) {
    case CommandQueue::Added::kFull:
      if (waiting != nullptr) Forget(waiting);
      return Result::Refused(Refusal::kQueueFull, "too many commands wait for the unit");
    case CommandQueue::Added::kReplaced:
      return Result::Done(true);
    case CommandQueue::Added::kQueued:
      break;
  }
  return Result::Done();
}

// A command that waits for the unit's status to show it, for 3 s at most.
CommandDoor::Waiting* CommandDoor::Wait(const Command& command, Done done) {
  waiting_.push_back(std::make_unique<Waiting>(command, std::move(done)));
  Waiting* waiting = waiting_.back().get();
  waiting->timer.setSingleShot(true);
  waiting->timer.setTimerType(Qt::PreciseTimer);  // never early: its sender was told 3 s
  connect(&waiting->timer, &QTimer::timeout, this, [this, waiting] { TimeUp(*waiting); });
  waiting->timer.start(kShownWithinMs);
  return waiting;
}

bool CommandDoor::Waits(const Waiting* waiting) const {
  return std::any_of(waiting_.begin(), waiting_.end(),
                     [waiting](const auto& w) { return w.get() == waiting; });
}

void CommandDoor::Forget(const Waiting* waiting) {
  waiting_.remove_if([waiting](const std::unique_ptr<Waiting>& w) { return w.get() == waiting; });
}

// The unit answered the command, or never will: a command that has ended
// meanwhile (its time up) is not looked at again.
void CommandDoor::Answered(Waiting* waiting, bool answered) {
  if (!Waits(waiting)) return;
  waiting->answered = answered;
  if (!answered) return Finish(*waiting, Lost());
  Settle(*waiting);
  // Pending, its end is known with the unit's answer: a status that does
  // not show it now never will by this command.
  if (Waits(waiting) && waiting->pending) {
    Finish(*waiting, Result::Refused(Refusal::kTimedOut,
                                     kdt::RelayLabel(waiting->command.relay) + " did not change"));
  }
}

void CommandDoor::TimeUp(Waiting& waiting) {
  const std::string relay = kdt::RelayLabel(waiting.command.relay);
  Unit* unit = units_.Find(waiting.command.unit);
  if (!waiting.answered && unit != nullptr && unit->Withdraw(waiting.id)) {
    return Finish(waiting, Result::Refused(Refusal::kTimedOut,
                                           relay + " did not change within 3 s: the unit was "
                                                   "busy, and the command was taken back unsent"));
  }
  if (waiting.answered) {
    return Finish(waiting,
                  Result::Refused(Refusal::kTimedOut, relay + " did not change within 3 s"));
  }
  waiting.pending = true;
  if (waiting.done) {
    waiting.done(Result::Pending(waiting.id, relay + ": sent, not yet shown by the unit"), nullptr);
  }
}

// Whether the unit's status shows what the command asked for, or what
// stands in its way now.
void CommandDoor::Settle(Waiting& waiting) {
  const Command& command = waiting.command;
  const Unit* unit = units_.Find(command.unit);
  if (unit == nullptr || !unit->Live()) return Finish(waiting, Lost());
  const std::uint8_t state = unit->Status().state[command.relay - 1];
  const bool shows = command.what == Command::What::kInput
                         ? kdt::InputOf(state) == command.input
                         : unit->Status().name[command.relay - 1] == command.name;
  if (shows) return Finish(waiting, Result::Done());
  if (command.what == Command::What::kInput && kdt::IsLocked(state)) {
    Finish(waiting, Locked(command.relay));
  }
}

void CommandDoor::Finish(Waiting& waiting, const Result& result) {
  const Done done = std::move(waiting.done);
  Forget(&waiting);
  if (done) done(result, nullptr);
}

void CommandDoor::UnitChanged(const Unit& unit) {
  std::vector<Waiting*> waiting;
  for (auto& w : waiting_) {
    if (w->command.unit == unit.Id()) waiting.push_back(w.get());
  }
  for (Waiting* w : waiting) {
    if (Waits(w)) Settle(*w);  // an earlier one's `done` may have ended it meanwhile
  }
}

}  // namespace bridge
