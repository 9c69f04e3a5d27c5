#include "Salvos.h"

#include <algorithm>

#include "Log.h"
#include "Relays.h"
#include "SharedUnit.h"
#include "StatusJson.h"

namespace bridge {
namespace {

// What became of a relay of a take, and so what its answer says.
enum class Stage {
  kPending,
  kAlready,
  kSwitched,
  kFailed,
  kPutBack,
  kNotPutBack,
  kNotSent,
  kInTheWay
};

std::string RelayText(const SalvoStep& step) {
  return step.unit + " " + kdt::RelayLabel(step.relay);
}

std::string InputJson(int input) {
  return input == kdt::kInput1 || input == kdt::kInput2 ? std::to_string(input) : "null";
}

}  // namespace

struct Salvos::Run {
  struct Relay {
    SalvoStep step;
    int from = 0;  // as the check found it; 0: neither input
    Stage stage = Stage::kPending;
    std::string why;  // of a failure or of what stands in the way
  };
  SalvoConfig salvo;
  std::string owner;
  Answered answered;
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
};

Salvos::Salvos() = default;
Salvos::~Salvos() = default;

const SalvoConfig* Salvos::Find(const std::string& id) const {
  for (const SalvoConfig& salvo : salvos_) {
    if (salvo.id == id) return &salvo;
  }
  return nullptr;
}

// How many relays a take would change now; a relay of a unit that is not
// live is counted, as nothing says it is on its input.
int Salvos::Differs(const SalvoConfig& salvo) const {
  return int(std::count_if(salvo.steps.begin(), salvo.steps.end(), [this](const SalvoStep& step) {
    const SharedUnit* unit = commands_.Find(step.unit);
    return unit == nullptr || !unit->Live() ||
           kdt::InputOf(unit->Status().state[step.relay - 1]) != step.input;
  }));
}

std::string Salvos::ListJson() const {
  std::string json = "{\"salvos\":[";
  for (const SalvoConfig& salvo : salvos_) {
    if (&salvo != &salvos_.front()) json += ",";
    json += "{\"id\":" + kdt::JsonText(salvo.id) +
            ",\"label\":" + kdt::JsonText(salvo.label.empty() ? salvo.id : salvo.label) +
            ",\"relays\":[";
    for (const SalvoStep& step : salvo.steps) {
      if (&step != &salvo.steps.front()) json += ",";
      json += "{\"unit\":" + kdt::JsonText(step.unit) + ",\"relay\":\"" +
              kdt::RelayLetter(step.relay) + "\",\"input\":" + std::to_string(step.input) + "}";
    }
    json += "],\"differs\":" + std::to_string(Differs(salvo)) + "}";
  }
  return json + "]}";
}

bool Salvos::Take(const std::string& id, const std::string& owner, Answered answered) {
  const SalvoConfig* salvo = Find(id);
  if (salvo == nullptr) return false;
  auto run = std::make_shared<Run>();
  run->salvo = *salvo;
  run->owner = owner;
  run->answered = std::move(answered);
  for (const SalvoStep& step : salvo->steps) run->relays.push_back({step, 0, Stage::kPending, ""});
  if (!Check(*run)) {
    Conclude(run, "refused");
    return true;
  }
  running_.push_back(run);
  Start(run, run->UnitsAt(Stage::kPending));
  return true;
}

// Whether every relay may be switched now; each that may not is named with
// what stands in its way. Where each relay stands is noted as it goes.
bool Salvos::Check(Run& run) const {
  bool clear = true;
  for (Run::Relay& relay : run.relays) {
    const SalvoStep& step = relay.step;
    const SharedUnit* unit = commands_.Find(step.unit);
    if (unit != nullptr && unit->Live()) {
      relay.from = kdt::InputOf(unit->Status().state[step.relay - 1]);
    }
    std::string why;
    if (unit == nullptr) {
      why = "no unit " + step.unit;
    } else if (const auto obstacle = Obstacle(*unit, step.relay, run.owner)) {
      why = obstacle->text;
    }
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
  UnitCommands::Request request{
      unit,      relay->step.relay, back ? relay->from : relay->step.input,
      "",        run->source,       run->owner + ", salvo " + run->salvo.id,
      run->owner};
  if (back && relay->from == 0) {
    relay->stage = Stage::kNotPutBack;
    relay->why = "it was on neither input";
    return Next(run, unit);
  }
  commands_.Send(std::move(request), [this, run, relay, unit, back](const auto& result) {
    const bool shown = result.outcome == UnitCommands::Outcome::kShown;
    if (back) {
      relay->stage = shown ? Stage::kPutBack : Stage::kNotPutBack;
    } else {
      relay->stage = shown ? Stage::kSwitched : Stage::kFailed;
      run->failed = run->failed || !shown;
    }
    relay->why = result.text;
    Next(run, unit);
  });
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
  std::string json =
      "{\"salvo\":" + kdt::JsonText(run->salvo.id) + ",\"result\":\"" + result + "\",\"relays\":[";
  std::string details;
  for (Run::Relay& relay : run->relays) {
    std::string outcome;
    switch (relay.stage) {
      case Stage::kPending:
      case Stage::kNotSent:
        outcome = "not sent";
        break;
      case Stage::kAlready:
        outcome = "already";
        break;
      case Stage::kSwitched:
        outcome = "switched";
        break;
      case Stage::kFailed:
        outcome = "failed: " + relay.why;
        break;
      case Stage::kPutBack:
        outcome = "put back";
        break;
      case Stage::kNotPutBack:
        outcome = "not put back: " + relay.why;
        break;
      case Stage::kInTheWay:
        outcome = "stands in the way: " + relay.why;
        break;
    }
    const SharedUnit* unit = commands_.Find(relay.step.unit);
    const int now = unit != nullptr && unit->Live()
                        ? kdt::InputOf(unit->Status().state[relay.step.relay - 1])
                        : 0;
    if (&relay != &run->relays.front()) json += ",";
    json += "{\"unit\":" + kdt::JsonText(relay.step.unit) + ",\"relay\":\"" +
            kdt::RelayLetter(relay.step.relay) + "\",\"from\":" + InputJson(relay.from) +
            ",\"to\":" + std::to_string(relay.step.input) + ",\"now\":" + InputJson(now) +
            ",\"outcome\":" + kdt::JsonText(outcome) + "}";
    if (result != "done" && outcome != "not sent") {
      AddPart(details, RelayText(relay.step) + " " + outcome);
    }
  }
  json += "]}";
  LogEntry entry{0, EntryTime(), "", "", "take", "", result, run->owner, run->salvo.id};
  Log(EntryLine(entry) + (details.empty() ? "" : ": " + details));
  if (recorder_) recorder_(std::move(entry));
  run->answered(json);
}

void Salvos::UnitsChanged(const std::vector<SharedUnit*>& units) {
  commands_.UnitsChanged(units);
}

void Salvos::UnitChanged(const SharedUnit& unit) {
  commands_.UnitChanged(unit);
}

}  // namespace bridge
