#include "core/Core.h"

#include <algorithm>

namespace bridge {

Core::Core() {
  record_.SetListener([this](const RecordEntry& entry) {
    TellFaces([&entry](Face& face) { face.Recorded(entry); });
  });
}

Core::~Core() {
  faces_.clear();
  for (Unit* unit : std::vector<Unit*>(units_.InOrder())) units_.Take(unit->Id()).reset();
}

// A face may attach or detach another as it hears (a reload does): each
// face attached when the news came hears it.
template <typename Tell>
void Core::TellFaces(Tell tell) {
  for (Face* face : std::vector<Face*>(faces_)) {
    if (std::find(faces_.begin(), faces_.end(), face) != faces_.end()) tell(*face);
  }
}

void Core::Attach(Face& face) {
  faces_.push_back(&face);
}

void Core::Detach(Face& face) {
  std::erase(faces_, &face);
}

void Core::SetSalvos(const std::vector<SalvoConfig>& salvos) {
  if (salvos == salvos_.All()) return;
  salvos_.Configure(salvos);
  TellFaces([](Face& face) { face.SalvosChanged(); });
}

void Core::AddUnit(const UnitConfig& config) {
  units_.Add(
      std::make_unique<Unit>(config, record_, [this](const Unit& unit) { UnitChanged(unit); }));
}

// Out of every face's sight before it goes: what its end tells (commands
// that will never reach it) finds it gone.
void Core::RemoveUnit(const std::string& id, bool takenOut) {
  std::unique_ptr<Unit> going = units_.Take(id);
  if (going == nullptr) return;
  TellFaces([this](Face& face) { face.UnitsChanged(units_.InOrder()); });
  going.reset();
  if (takenOut) TellFaces([&id](Face& face) { face.UnitRemoved(id); });
}

void Core::ReconfigureUnit(const UnitConfig& config) {
  Unit* unit = units_.Find(config.id);
  if (unit == nullptr) return;
  unit->Reconfigure(config);
  TellFaces([unit](Face& face) { face.UnitChanged(*unit); });
}

void Core::SetOrder(const std::vector<std::string>& ids) {
  units_.SetOrder(ids);
  TellFaces([this](Face& face) { face.UnitsChanged(units_.InOrder()); });
}

// Each face shows the change; then what waited for it is over.
void Core::UnitChanged(const Unit& unit) {
  TellFaces([&unit](Face& face) { face.UnitChanged(unit); });
  door_.UnitChanged(unit);
}

Result Core::Submit(Command command, CommandDoor::Done done) {
  return door_.Submit(std::move(command), std::move(done));
}

Result Core::SetProtect(const std::string& unit, int relay, const Owner& owner, bool on,
                        bool force) {
  const Unit* served = units_.Find(unit);
  if (served == nullptr) return Result::Refused(Refusal::kNoSuchUnit, "no unit " + unit);
  const bool held = protects_.Of(unit, relay) != nullptr;
  Result result =
      on ? protects_.Hold(unit, relay, owner) : protects_.Release(unit, relay, owner, force);
  // What the relay shows its clients has changed, though nothing at the
  // unit has.
  if (result.Ok() && held != (protects_.Of(unit, relay) != nullptr)) UnitChanged(*served);
  return result;
}

Result Core::Take(const std::string& salvo, const Owner& owner, Salvos::Taken taken) {
  return salvos_.Take(salvo, owner, std::move(taken));
}

}  // namespace bridge
