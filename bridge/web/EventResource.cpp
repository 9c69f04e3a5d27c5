#include "web/EventResource.h"

#include "Json.h"
#include "RelayName.h"
#include "Relays.h"
#include "json/BridgeJson.h"
#include "web/RecordSelection.h"
#include "web/SalvoResource.h"

namespace bridge {
namespace {

std::string Event(const char* name, std::uint64_t seq, const std::string& data) {
  return "id: " + std::to_string(seq) + "\nevent: " + name + "\ndata: " + data + "\n\n";
}

// "text (what it was called)", or the text alone.
std::string Called(const std::string& text, const std::string& name) {
  return name.empty() ? text : text + " (" + name + ")";
}

// The words of the page's record, with names in quotes and arrows, and what
// people called the relay, the inputs and the salvo at the time.
std::string EntryText(const RecordEntry& entry) {
  const auto shown = [&entry](const std::string& value) {
    return entry.change == "name" ? "\u201C" + value + "\u201D" : value;
  };
  std::string what;
  if (!entry.salvo.empty()) {
    what = "salvo " + Called(entry.salvo, entry.salvoLabel) + ": " + entry.change + " " + entry.to;
  } else if (entry.change == "connection") {
    what = entry.unit + ": " + entry.from + " \u2192 " + entry.to;
  } else {
    what = entry.unit + " " + Called("RELAY " + entry.relay, entry.relayName) + ": " +
           entry.change + " " + Called(shown(entry.from), entry.fromLabel) + " \u2192 " +
           Called(shown(entry.to), entry.toLabel);
  }
  return what + ", by " + entry.by;
}

}  // namespace

std::string EntryJson(const RecordEntry& entry) {
  kdt::JsonObject json;
  json.AddNumber("seq", std::int64_t(entry.seq))
      .AddText("time", entry.time)
      .AddText("unit", entry.unit);
  if (!entry.salvo.empty()) json.AddText("salvo", entry.salvo);
  if (!entry.relay.empty()) json.AddText("relay", entry.relay);
  return json.AddText("change", entry.change)
      .AddText("from", entry.from)
      .AddText("to", entry.to)
      .AddText("by", entry.by)
      .AddText("text", EntryText(entry))
      .AddText("relayName", entry.relayName)
      .AddText("fromLabel", entry.fromLabel)
      .AddText("toLabel", entry.toLabel)
      .AddText("salvoLabel", entry.salvoLabel)
      .Text();
}

void EventResource::Events(RouteCall& call) {
  streams_.Open(std::move(call.reply), call.caller.session,
                QByteArray::fromStdString(Event("snapshot", core_.Seq(), units_.UnitsJson())));
}

void EventResource::Log(RouteCall& call) {
  RecordQuery query;
  std::string problem;
  if (!ReadRecordQuery(call.request.query, kDefaultRecordPage, query, problem)) {
    return call.reply->Error(400, problem);
  }
  ++query.limit;  // one more tells whether there are more
  std::vector<RecordEntry> found = core_.QueryRecord(query);
  const bool more = found.size() == query.limit;
  if (more) found.pop_back();
  std::vector<std::string> entries;
  for (const RecordEntry& entry : found) entries.push_back(EntryJson(entry));
  call.reply->Json(
      200,
      kdt::JsonObject().AddJson("entries", kdt::JsonArray(entries)).AddBool("more", more).Text());
}

void EventResource::LogCsv(RouteCall& call) {
  RecordQuery query;
  std::string problem;
  if (!ReadRecordQuery(call.request.query, 0, query, problem)) {
    return call.reply->Error(400, problem);
  }
  call.reply->Download(QByteArray::fromStdString(EntriesCsv(core_.QueryRecord(query))),
                       "text/csv; charset=utf-8; header=present", "kdt212-record.csv");
}

void EventResource::Rules(RouteCall& call) {
  std::vector<std::string> relays, inputs;
  for (int relay : kdt::kRelaysLeftToRight) {
    relays.push_back(kdt::JsonText(std::string(1, kdt::RelayLetter(relay))));
  }
  for (int input : {kdt::kInput1, kdt::kInput2}) inputs.push_back(std::to_string(input));
  call.reply->Json(200, kdt::JsonObject()
                            .AddJson("relays", kdt::JsonArray(relays))
                            .AddJson("inputs", kdt::JsonArray(inputs))
                            .AddNumber("nameLength", std::int64_t(kdt::kNameLength))
                            .AddNumber("recordKept", std::int64_t(Record::kKept))
                            .AddNumber("armedForMs", kArmedForMs)
                            .Text());
}

void EventResource::Broadcast(const char* name, const std::string& member,
                              const std::string& json) {
  const std::uint64_t seq = core_.NextSeq();
  streams_.Broadcast(QByteArray::fromStdString(
      Event(name, seq,
            kdt::JsonObject().AddNumber("seq", std::int64_t(seq)).AddJson(member, json).Text())));
}

// The units a reload left, in their order: a page drops those that went,
// whose every control would answer 404.
void EventResource::UnitsChanged() {
  std::erase_if(shown_,
                [this](const auto& shown) { return core_.FindUnit(shown.first) == nullptr; });
  std::vector<std::string> units;
  for (const Unit* unit : core_.UnitsInOrder()) units.push_back(UnitJson(core_, *unit));
  Broadcast("units", "units", kdt::JsonArray(units));
}

// Each change of a unit's connection or relays, once, to every stream; and
// what it changes of the salvos' takes.
void EventResource::UnitChanged(const Unit& unit) {
  const std::string json = UnitJson(core_, unit);
  std::string& shown = shown_[unit.Id()];
  if (json != shown) {
    shown = json;
    Broadcast("unit", "unit", json);
  }
  if (const std::string salvos = SalvoListJson(core_); salvos != salvosShown_) {
    salvosShown_ = salvos;
    Broadcast("salvos", "salvos", salvos);
  }
}

void EventResource::Recorded(const RecordEntry& entry) {
  streams_.Broadcast(QByteArray::fromStdString(Event("log", entry.seq,
                                                     kdt::JsonObject()
                                                         .AddNumber("seq", std::int64_t(entry.seq))
                                                         .AddJson("entry", EntryJson(entry))
                                                         .Text())));
}

void EventResource::CommandEnded(const Result& result, std::uint64_t id) {
  kdt::JsonObject ended;
  ended.AddNumber("id", std::int64_t(id)).AddText("outcome", result.Ok() ? "done" : "failed");
  if (!result.Ok()) ended.AddText("error", result.Text());
  Broadcast("command", "command", ended.Text());
}

void EventResource::SalvosChanged() {
  salvosShown_ = SalvoListJson(core_);
  Broadcast("salvos", "salvos", salvosShown_);
}

}  // namespace bridge
