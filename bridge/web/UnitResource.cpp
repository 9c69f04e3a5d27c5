#include "web/UnitResource.h"

#include "Json.h"
#include "Relays.h"
#include "json/BridgeJson.h"
#include "web/Body.h"

namespace bridge {
namespace {

// A relay of the path: its letter in lower case, as every address of the
// interface gives it.
int RelayOfPath(const std::string& letter) {
  return letter.size() == 1 && letter[0] >= 'a' && letter[0] <= 'z' ? kdt::RelayOfLetter(letter[0])
                                                                    : 0;
}

}  // namespace

std::string UnitResource::UnitsJson() const {
  std::vector<std::string> units;
  for (const Unit* unit : core_.UnitsInOrder()) units.push_back(UnitJson(core_, *unit));
  return kdt::JsonObject()
      .AddNumber("seq", std::int64_t(core_.Seq()))
      .AddJson("units", kdt::JsonArray(units))
      .Text();
}

void UnitResource::List(RouteCall& call) {
  call.reply->Json(200, UnitsJson());
}

void UnitResource::Relay(RouteCall& call) {
  const Unit* unit = core_.FindUnit(call.params[0]);
  const int relay = RelayOfPath(call.params[1]);
  const std::string& what = call.params[2];
  if (unit == nullptr || relay == 0 || (what != "input" && what != "name" && what != "protect")) {
    return call.reply->Error(404, "no such unit or relay: " + call.request.path);
  }
  if (what == "input") return Switch(call, *unit, relay);
  if (what == "name") return Rename(call, *unit, relay);
  Protect(call, *unit, relay);
}

void UnitResource::Switch(RouteCall& call, const Unit& unit, int relay) {
  QJsonObject body;
  if (!ReadBody(call.request.body, {"input"}, body) || !body["input"].isDouble() ||
      (body["input"].toDouble() != kdt::kInput1 && body["input"].toDouble() != kdt::kInput2)) {
    return call.reply->Error(400, "an input is {\"input\":1} or {\"input\":2}");
  }
  Send(call, Command{.unit = unit.Id(),
                     .relay = relay,
                     .what = Command::What::kInput,
                     .input = int(body["input"].toDouble()),
                     .by = Cause{call.caller.AsOwner()},
                     .source = SourceOf(call.caller),
                     .until = Command::Until::kShown});
}

void UnitResource::Rename(RouteCall& call, const Unit& unit, int relay) {
  QJsonObject body;
  if (!ReadBody(call.request.body, {"name"}, body) || !body["name"].isString()) {
    return call.reply->Error(400, "a name is {\"name\":\"…\"}");
  }
  Send(call, Command{.unit = unit.Id(),
                     .relay = relay,
                     .what = Command::What::kName,
                     .name = body["name"].toString().toStdString(),
                     .nameIn = Command::NameIn::kText,
                     .by = Cause{call.caller.AsOwner()},
                     .source = SourceOf(call.caller),
                     .until = Command::Until::kShown});
}

// Answered once the unit's status shows it: with the unit as it is then.
// The core outlives every face, and the answer its client: a reply whose
// client has gone writes nothing. A command still with the unit after 3 s
// is answered 202 with its id; its end comes as a `command` event.
void UnitResource::Send(RouteCall& call, Command command) {
  std::shared_ptr<WebReply> pending(std::move(call.reply));
  const std::string id = command.unit;
  auto pendingId = std::make_shared<std::uint64_t>(0);
  const Result taken =
      core_.Submit(std::move(command), [&core = core_, ended = ended_, pending, id, pendingId](
                                           const Result& result, const kdt::ReplyBytes*) {
        if (*pendingId != 0) return ended(result, *pendingId);
        const Unit* unit = core.FindUnit(id);
        if (result.Pending()) {
          *pendingId = result.Id();
          return pending->Json(202, kdt::JsonObject()
                                        .AddNumber("id", std::int64_t(result.Id()))
                                        .AddText("outcome", "pending")
                                        .AddText("text", result.Text())
                                        .AddJson("unit", unit ? UnitJson(core, *unit) : "null")
                                        .Text());
        }
        if (!result.Ok()) return pending->Refused(result);
        if (unit == nullptr) return pending->Error(503, "the unit was taken out");
        pending->Json(200, UnitJson(core, *unit));
      });
  if (!taken.Ok()) pending->Refused(taken);
}

// {"on":true} protects the relay for the caller, {"on":false} releases it:
// the owner's release, or an admin's forced one.
void UnitResource::Protect(RouteCall& call, const Unit& unit, int relay) {
  QJsonObject body;
  if (!ReadBody(call.request.body, {"on"}, body) || !body["on"].isBool()) {
    return call.reply->Error(400, "a protect is {\"on\":true} or {\"on\":false}");
  }
  const Result result = core_.SetProtect(unit.Id(), relay, call.caller.AsOwner(),
                                         body["on"].toBool(), call.caller.role >= Role::kAdmin);
  if (!result.Ok()) return call.reply->Refused(result);
  call.reply->Json(200, UnitJson(core_, unit));
}

CommandSource UnitResource::SourceOf(const Caller& caller) {
  CommandSource& source = sources_[caller.AsOwner().Text()];
  if (source == 0) source = NewCommandSource();
  return source;
}

}  // namespace bridge
