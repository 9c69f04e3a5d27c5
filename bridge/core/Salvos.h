// Salvos ([SALVO id]): relays of the bridge's units set together by one
// take, all or nothing, whichever face asks for it. A take is checked first:
// every relay named passes the command door's check (its unit live, the
// relay not locked at the unit, not protected by someone other than the
// taker) and is not being switched by another take; otherwise nothing is
// sent, and the answer names what stands in the way. Then each relay not
// yet on its input is switched through the door and confirmed by the unit's
// status, the relays of different units at once and each unit's in the
// salvo's order. When a switch fails, no further one goes, and every relay
// switched is put back on the input it had, the last switched first: the
// take is undone, or partial when putting back fails too. A switch is
// never taken for failed while it may still land: one with the unit and
// not shown in time is waited for (the door says when it ends), so that
// what the answer says of every relay is what happened. The answer (TakeResult) gives every relay:
// where it was, where the salvo puts it, where it is now, and what became
// of it; each face says it in its own form. Each take is an entry of the
// record, and each switch it makes names the salvo as its cause ("web alice,
// salvo evening").
#pragma once

#include <QObject>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "config/SalvoConfig.h"
#include "core/CommandDoor.h"
#include "core/Record.h"
#include "core/Units.h"

namespace bridge {

struct TakeRelay {
  std::string unit;
  int relay = 0;
  int from = 0;  // as the check found it; 0: neither input, or the unit was down
  int to = 0;
  int now = 0;          // 0: neither input, or the unit is down
  std::string outcome;  // "switched", "already", "put back", "failed: …", "not put back: …",
                        // "stands in the way: …", "not sent"
};

struct TakeResult {
  std::string salvo;
  std::string result;  // "done", "refused", "undone" or "partial"
  std::vector<TakeRelay> relays;
};

class Salvos : public QObject {
 public:
  using Taken = std::function<void(const TakeResult& answer)>;

  Salvos(const Units& units, CommandDoor& door, Record& record);
  ~Salvos() override;

  void Configure(const std::vector<SalvoConfig>& salvos) { salvos_ = salvos; }
  const std::vector<SalvoConfig>& All() const { return salvos_; }
  const SalvoConfig* Find(const std::string& id) const;
  // Whether a take would switch the relay now; a relay of a unit that is
  // not live would, as nothing says it is on its input.
  bool Changes(const SalvoStep& step) const;
  // How many relays of the salvo a take would switch now.
  int Differs(const SalvoConfig& salvo) const;

  // Takes the salvo for `owner`; refused when there is no such salvo.
  // `taken` may be called before this returns.
  Result Take(const std::string& id, const Owner& owner, Taken taken);
  // Takes relays that no salvo of the file names together, as a salvo's
  // (a router client's routes sent as one): its answer and its entry name
  // no salvo.
  void TakeSteps(std::vector<SalvoStep> steps, const Owner& owner, Taken taken);

 private:
  struct Run;
  using RunPtr = std::shared_ptr<Run>;

  void Begin(const SalvoConfig& salvo, const Owner& owner, Taken taken);
  bool Check(Run& run) const;
  void Next(const RunPtr& run, const std::string& unit);
  void PhaseOver(const RunPtr& run);
  void Start(const RunPtr& run, const std::vector<std::string>& units);
  void Conclude(const RunPtr& run, const std::string& result);

  const Units& units_;
  CommandDoor& door_;
  Record& record_;
  std::vector<SalvoConfig> salvos_;
  std::list<RunPtr> running_;
};

}  // namespace bridge
