// The bridge's core: the units it serves (a directory by id), the record of
// who switched what, the protects, the salvos and the one door that every
// face's command goes through, checked once (CommandDoor.h). It tells the
// faces (Face.h) what changed, each change once: a unit's connection or
// status, a protect, an entry of the record, a reload's salvos. It knows no
// face: the composition root attaches them, and applies the configuration.
#pragma once

#include <QObject>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "config/SalvoConfig.h"
#include "config/UnitConfig.h"
#include "core/CommandDoor.h"
#include "core/Face.h"
#include "core/Protects.h"
#include "core/Record.h"
#include "core/RecordFile.h"
#include "core/Salvos.h"
#include "core/Units.h"

namespace bridge {

class Core : public QObject {
 public:
  Core();
  ~Core() override;  // every unit says goodbye

  // --- The faces that hear of it, attached and detached by the root.
  void Attach(Face& face);
  void Detach(Face& face);

  // --- Its configuration, applied by the root.
  // Where the protects are kept (Protects::KeepIn).
  void KeepProtectsIn(const std::string& file) { protects_.KeepIn(file); }
  // The folder where the bridge keeps what outlasts a restart (the state
  // directory); empty: nothing is kept. Faces keep their own there too.
  void SetStateFolder(const std::string& folder) { stateFolder_ = folder; }
  const std::string& StateFolder() const { return stateFolder_; }
  // Where the record is kept (Record::KeepIn).
  void KeepRecordIn(const std::string& file, const RecordBounds& bounds) {
    record_.KeepIn(file, bounds);
  }
  // Entries of the record (Record::Query).
  std::vector<RecordEntry> QueryRecord(const RecordQuery& query) const {
    return record_.Query(query);
  }
  // The salvos anew; the faces hear of it when they changed.
  void SetSalvos(const std::vector<SalvoConfig>& salvos);
  // A unit starts; it is last in the order until SetOrder.
  void AddUnit(const UnitConfig& config);
  // The unit says goodbye and goes; `takenOut`: the file no longer has it,
  // and the faces forget it (rather than a unit that starts again).
  void RemoveUnit(const std::string& id, bool takenOut);
  // The unit's section anew, its session the same (UnitConfig::SameSession):
  // the faces hear of it, as what they show of it (its sources' labels)
  // may have changed.
  void ReconfigureUnit(const UnitConfig& config);
  // The file's order of the units; the faces hear of them.
  void SetOrder(const std::vector<std::string>& ids);

  // --- What the faces read.
  Unit* FindUnit(const std::string& id) const { return units_.Find(id); }
  const std::vector<Unit*>& UnitsInOrder() const { return units_.InOrder(); }
  const Protect* ProtectOf(const std::string& unit, int relay) const {
    return protects_.Of(unit, relay);
  }
  const std::vector<SalvoConfig>& AllSalvos() const { return salvos_.All(); }
  const SalvoConfig* FindSalvo(const std::string& id) const { return salvos_.Find(id); }
  bool SalvoChanges(const SalvoStep& step) const { return salvos_.Changes(step); }
  int SalvoDiffers(const SalvoConfig& salvo) const { return salvos_.Differs(salvo); }
  const std::deque<RecordEntry>& Entries() const { return record_.Entries(); }
  // The faces' events and the record's entries share one sequence.
  std::uint64_t Seq() const { return record_.Seq(); }
  std::uint64_t NextSeq() { return record_.NextSeq(); }

  // --- The one door.
  // A command for a relay (CommandDoor::Submit).
  Result Submit(Command command, CommandDoor::Done done);
  // `on`: `owner` protects the relay; else it releases its protect, or with
  // `force` (an admin's) anyone's.
  Result SetProtect(const std::string& unit, int relay, const Owner& owner, bool on, bool force);
  // A take of the salvo (Salvos::Take).
  Result Take(const std::string& salvo, const Owner& owner, Salvos::Taken taken);
  // Relays switched together as a salvo's take (Salvos::TakeSteps).
  void TakeSteps(std::vector<SalvoStep> steps, const Owner& owner, Salvos::Taken taken) {
    salvos_.TakeSteps(std::move(steps), owner, std::move(taken));
  }

 private:
  void UnitChanged(const Unit& unit);
  template <typename Tell>
  void TellFaces(Tell tell);

  Record record_;
  Protects protects_{record_};
  Units units_;
  CommandDoor door_{units_, protects_};
  Salvos salvos_{units_, door_, record_};
  std::vector<Face*> faces_;
  std::string stateFolder_;
};

}  // namespace bridge
