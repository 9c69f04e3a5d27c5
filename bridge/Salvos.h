// Salvos ([SALVO id]): relays of the bridge's units set together by one
// take, all or nothing, from the page, its HTTP interface or MQTT alike.
// A take is checked first: every unit named is live, and no relay named is
// locked at the unit, protected by someone other than the taker
// (Protects.h) or being switched by another take; otherwise nothing is
// sent, and the answer names what stands in the way. Then each relay not
// yet on its input is switched and confirmed by the unit's status
// (UnitCommands.h), the relays of different units at once and each unit's
// in the salvo's order. When a switch fails, no further one goes, and every
// relay switched is put back on the input it had: the take is undone, or
// partial when putting back fails too. The answer gives every relay: where
// it was, where the salvo puts it, where it is now, and what became of it.
// Each take is an entry of the record, and each switch it makes names the
// salvo as its cause ("web alice, salvo evening").
#pragma once

#include <QObject>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "BridgeConfig.h"
#include "LogBook.h"
#include "UnitCommands.h"
#include "UnitConsumer.h"

namespace bridge {

class Salvos : public QObject, public UnitConsumer {
 public:
  // Called with the answer, a JSON object:
  // {"salvo":…,"result":"done"|"refused"|"undone"|"partial","relays":[…]}.
  using Answered = std::function<void(const std::string& answer)>;

  Salvos();
  ~Salvos() override;

  void Configure(const std::vector<SalvoConfig>& salvos) { salvos_ = salvos; }
  const std::vector<SalvoConfig>& All() const { return salvos_; }
  const SalvoConfig* Find(const std::string& id) const;
  // {"salvos":[{"id","label","relays":[{"unit","relay","input"}],"differs"}]}
  std::string ListJson() const;

  // Takes the salvo for `owner` ("web alice", "mqtt"); false when there is
  // no such salvo. `answered` may be called before this returns.
  bool Take(const std::string& id, const std::string& owner, Answered answered);

  void SetRecorder(std::function<void(LogEntry)> recorder) { recorder_ = std::move(recorder); }

  void UnitsChanged(const std::vector<SharedUnit*>& units) override;
  void UnitChanged(const SharedUnit& unit) override;

 private:
  struct Run;
  using RunPtr = std::shared_ptr<Run>;

  bool Check(Run& run) const;
  void Next(const RunPtr& run, const std::string& unit);
  void PhaseOver(const RunPtr& run);
  void Start(const RunPtr& run, const std::vector<std::string>& units);
  void Conclude(const RunPtr& run, const std::string& result);
  int Differs(const SalvoConfig& salvo) const;

  std::vector<SalvoConfig> salvos_;
  UnitCommands commands_;
  std::list<RunPtr> running_;
  std::function<void(LogEntry)> recorder_;
};

}  // namespace bridge
