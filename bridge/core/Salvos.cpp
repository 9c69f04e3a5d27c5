#include "core/Salvos.h"

#include <algorithm>

#include "Relays.h"
#include "core/Log.h"

namespace bridge {
namespace {

// What became of a relay of a take, and so what its answer says.
enum class Stage { kPending, kAlready, kSwitched, kFailed, kPutBack, kNotPutBack, kInTheWay };

std::string OutcomeText(Stage stage, const std::string& why) {
  switch (stage) {
    case Stage::kPending:
      return "not sent";
    case Stage::kAlready:
      return "already";
    case Stage::kSwitched:
      return "switched";
    case Stage::kFailed:
      return "failed: " + why;
    case Stage::kPutBack:
      return "put back";
    case Stage::kNotPutBack:
      return "not put back: " + why;
    case Stage::kInTheWay:
      return "stands in the way: " + why;
  }
  return "not sent";
}

}  // namespace

struct Salvos::Run {
  Run(const SalvoConfig& takenSalvo, Owner taker, Taken whenTaken)
      : salvo(takenSalvo), owner(std::move(taker)), taken(std::move(whenTaken)) {
    for (const SalvoStep& step : salvo.steps) relays.push_back({step, 0, Stage::kPending, ""});
  }
  struct Relay {
    SalvoStep step;
    int from = 0;  // as the check found it; 0: neither input
    Stage stage = Stage::kPending;
    std::string why;  // of a failure or of what stands in the way
  };
  SalvoConfig salvo;
  Owner owner;
  Taken taken;
  CommandSource source = NewCommandSource();
  std::vector<Relay> relays;
  std::vector<std::string> busy;  // units with a command out
  bool failed = false;
  bool puttingBack = false;

  bool Names(const std::string& unit, int relay) const {
    return std::any_of(relays.begin(), relays.end(), [&](const Relay& r) {
      return r.step.unit == unit && r.step.relay == relay;
    });
  }
  // The unit's next relay to switch, or to put back (the last switched
  // first); nullptr when it has nothing more to do.
  Relay* NextFor(const std::string& unit) {
    if (!puttingBack) {
      if (failed) return nullptr;
      for (Relay& relay : relays) {
        if (relay.step.unit == unit && relay.stage == Stage::kPending) return &relay;
      }
      return nullptr;
    }
    for (auto it = relays.rbegin(); it != relays.rend(); ++it) {
      if (it->step.unit == unit && it->stage == Stage::kSwitched) return &*it;
    }
    return nullptr;
  }
  // The units of the relays at `stage`, each once, in the salvo's order.
  std::vector<std::string> UnitsAt(Stage stage) const {
    std::vector<std::string> units;
    for (const Relay& relay : relays) {
      if (relay.stage == stage &&
          std::find(units.begin(), units.end(), relay.step.unit) == units.end()) {
        units.push_back(relay.step.unit);
      }
    }
    return units;
  }
  // A switch of the relay to `input`, for the taker, naming the salvo; or
  // its putting back.
  Command Switch(const Relay& relay, int input, bool back = false) const {
    return Command{.unit = relay.step.unit,
                   .relay = relay.step.relay,
                   .what = Command::What::kInput,
                   .input = input,
                   .by = Cause{owner, salvo.id, back},
                   .source = source,
                   .until = Command::Until::kShown};
  }
};

Salvos::Salvos(const Units& units, CommandDoor& door, Record& record)
    : units_(units), door_(door), record_(record) {}

Salvos::~Salvos() = default;

const SalvoConfig* Salvos::Find(const std::string& id) const {
  for (const SalvoConfig& salvo : salvos_) {
    if (salvo.id == id) return &salvo;
  }
  return nullptr;
}

bool Salvos::Changes(const SalvoStep& step) const {
  const Unit* unit = units_.Find(step.unit);
  return unit == nullptr || !unit->Live() ||
         kdt::InputOf(unit->Status().state[step.relay - 1]) != step.input;
}

int Salvos::Differs(const SalvoConfig& salvo) const {
  return int(std::count_if(salvo.steps.begin(), salvo.steps.end(),
                           [this](const SalvoStep& step) { return Changes(step); }));
}

Result Salvos::Take(const std::string& id, const Owner& owner, Taken taken) {
  const SalvoConfig* salvo = Find(id);
  if (salvo == nullptr) return Result::Refused(Refusal::kNoSuchSalvo, "no salvo " + id);
  Begin(*salvo, owner, std::move(taken));
  return Result::Done();
}

void Salvos::TakeSteps(std::vector<SalvoStep> steps, const Owner& owner, Taken taken) {
  Begin(SalvoConfig{.steps = std::move(steps)}, owner, std::move(taken));
}

void Salvos::Begin(const SalvoConfig& salvo, const Owner& owner, Taken taken) {
  auto run = std::make_shared<Run>(salvo, owner, std::move(taken));
  if (!Check(*run)) return Conclude(run, "refused");
  running_.push_back(run);
  Start(run, run->UnitsAt(Stage::kPending));
}

// Whether every relay may be switched now; each that may not is named with
// what stands in its way. Where each relay stands is noted as it goes.
bool Salvos::Check(Run& run) const {
  bool clear = true;
  for (Run::Relay& relay : run.relays) {
    const SalvoStep& step = relay.step;
    if (const Unit* unit = units_.Find(step.unit); unit != nullptr && unit->Live()) {
      relay.from = kdt::InputOf(unit->Status().state[step.relay - 1]);
    }
    Command command = run.Switch(relay, step.input);
    std::string why = door_.Check(command).Text();
    for (const RunPtr& other : running_) {
      if (why.empty() && other->Names(step.unit, step.relay)) {
        why = "salvo " + other->salvo.id + " is switching it";
      }
    }
    if (!why.empty()) {
      relay.stage = Stage::kInTheWay;
      relay.why = why;
      clear = false;
      continue;
    }
    if (relay.from == step.input) relay.stage = Stage::kAlready;
  }
  return clear;
}

// Every unit given is busy before the first goes, so that one that
// finishes at once does not end the phase for the others.
void Salvos::Start(const RunPtr& run, const std::vector<std::string>& units) {
  run->busy = units;
  if (units.empty()) return PhaseOver(run);
  for (const std::string& unit : units) Next(run, unit);
}

void Salvos::Next(const RunPtr& run, const std::string& unit) {
  Run::Relay* relay = run->NextFor(unit);
  if (relay == nullptr) {
    std::erase(run->busy, unit);
    if (run->busy.empty()) PhaseOver(run);
    return;
  }
  const bool back = run->puttingBack;
  if (back && relay->from == 0) {
    relay->stage = Stage::kNotPutBack;
    relay->why = "it was on neither input";
    return Next(run, unit);
  }
  const auto done = [this, run, relay, unit, back](const Result& result, const kdt::ReplyBytes*) {
    // With the unit and not shown yet: its end, which follows, decides.
    if (result.Pending()) return;
    if (back) {
      relay->stage = result.Ok() ? Stage::kPutBack : Stage::kNotPutBack;
    } else {
      relay->stage = result.Ok() ? Stage::kSwitched : Stage::kFailed;
      run->failed = run->failed || !result.Ok();
    }
    relay->why = result.Text();
    Next(run, unit);
  };
  if (Result refused =
          door_.Submit(run->Switch(*relay, back ? relay->from : relay->step.input, back), done);
      !refused.Ok()) {
    done(refused, nullptr);
  }
}

// Every unit has done what it could: the take is done, or what it
// switched goes back.
void Salvos::PhaseOver(const RunPtr& run) {
  if (!run->failed) return Conclude(run, "done");
  if (!run->puttingBack) {
    run->puttingBack = true;
    return Start(run, run->UnitsAt(Stage::kSwitched));
  }
  const bool partial = std::any_of(run->relays.begin(), run->relays.end(), [](const Run::Relay& r) {
    return r.stage == Stage::kNotPutBack;
  });
  Conclude(run, partial ? "partial" : "undone");
}

void Salvos::Conclude(const RunPtr& run, const std::string& result) {
  running_.remove(run);
  TakeResult answer{run->salvo.id, result, {}};
  std::string details;
  for (const Run::Relay& relay : run->relays) {
    const Unit* unit = units_.Find(relay.step.unit);
    const int now = unit != nullptr && unit->Live()
                        ? kdt::InputOf(unit->Status().state[relay.step.relay - 1])
                        : 0;
    const std::string outcome = OutcomeText(relay.stage, relay.why);
    answer.relays.push_back(
        {relay.step.unit, relay.step.relay, relay.from, relay.step.input, now, outcome});
    if (result != "done" && relay.stage != Stage::kPending) {
      AddPart(details, relay.step.unit + " " + kdt::RelayLabel(relay.step.relay) + " " + outcome);
    }
  }
  // A take that no salvo names is of one unit's relays.
  const bool named = !run->salvo.id.empty();
  record_.Add({.unit = named ? "" : run->salvo.steps.front().unit,
               .change = "take",
               .to = result,
               .by = run->owner.Text(),
               .salvo = run->salvo.id,
               .detail = details,
               .salvoLabel = run->salvo.label});
  run->taken(answer);
}

}  // namespace bridge
