// The page's live picture as a resource: the event stream (a snapshot of
// every unit, then an event at each change of a unit, of the units a reload
// leaves, each entry of the record, each change of the salvos and the end
// of each command answered pending, all numbered in one sequence), the
// record itself (api/log), and the rules the page shows but does not make
// (api/rules): the relays, the inputs, how long a name may be, how many
// entries the record keeps, how long an armed salvo waits for its take.
#pragma once

#include <QByteArray>
#include <map>
#include <string>

#include "core/Core.h"
#include "web/Routes.h"
#include "web/Streams.h"
#include "web/UnitResource.h"

namespace bridge {

class EventResource {
 public:
  // How long the page keeps a salvo armed without a take.
  static constexpr int kArmedForMs = 30000;

  EventResource(Core& core, EventStreams& streams, const UnitResource& units)
      : core_(core), streams_(streams), units_(units) {}

  void Events(RouteCall& call);
  // The record's entries the query asks for (RecordSelection.h), newest
  // first, a page at a time: "more" says whether older ones match too.
  void Log(RouteCall& call);
  // The same selection, every entry of it, as CSV.
  void LogCsv(RouteCall& call);
  void Rules(RouteCall& call);

  // What the streams hear: each change once.
  void UnitsChanged();
  void UnitChanged(const Unit& unit);
  void Recorded(const RecordEntry& entry);
  void SalvosChanged();
  // The end of a command answered pending: {"id":N,"outcome":"done"}, or
  // "failed" with its "error".
  void CommandEnded(const Result& result, std::uint64_t id);

 private:
  void Broadcast(const char* name, const std::string& member, const std::string& json);

  Core& core_;
  EventStreams& streams_;
  const UnitResource& units_;
  std::map<std::string, std::string> shown_;  // each unit's JSON as the streams have it
  std::string salvosShown_;                   // the salvos' JSON as the streams have it
};

// An entry as the interface gives it: its fields, and its text as the page
// shows it ("studio RELAY A: input INPUT 1 → INPUT 2, by web alice").
std::string EntryJson(const RecordEntry& entry);

}  // namespace bridge
