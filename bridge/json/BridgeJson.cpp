#include "json/BridgeJson.h"

#include "Json.h"
#include "Relays.h"
#include "StatusJson.h"

namespace bridge {
namespace {

void AddInput(kdt::JsonObject& object, std::string_view name, int input) {
  if (input == kdt::kInput1 || input == kdt::kInput2) {
    object.AddNumber(name, input);
  } else {
    object.AddNull(name);
  }
}

}  // namespace

std::string InputsJson(const UnitConfig& unit) {
  return kdt::JsonArray({kdt::JsonText(unit.inputLabels[0]), kdt::JsonText(unit.inputLabels[1])});
}

std::string UnitJson(const Core& core, const Unit& unit) {
  kdt::JsonObject first =
      kdt::JsonObject()
          .AddText("id", unit.Id())
          .AddJson("inputs", InputsJson(unit.Config()))
          .AddText("take", unit.Config().take == TakeMode::kConfirm ? "confirm" : "direct");
  if (!unit.Live()) {
    // What it last showed, as of when it was lost: the page greys it.
    if (!unit.LostAt().empty()) {
      std::vector<std::string> last;
      for (int relay : kdt::kRelaysLeftToRight) {
        last.push_back(kdt::RelayJson(unit.Status(), relay).Text());
      }
      first.AddText("asOf", unit.LostAt()).AddJson("last", kdt::JsonArray(last));
    }
    return kdt::NotConnectedJson(unit.Where(), unit.DownReason(), first);
  }
  first.AddText("since", unit.ConnectedSince());
  const auto protect = [&](int relay, kdt::JsonObject& object) {
    const Protect* held = core.ProtectOf(unit.Id(), relay);
    if (held == nullptr) {
      object.AddNull("protected");
      return;
    }
    object.AddJson("protected", kdt::JsonObject()
                                    .AddText("by", held->by.Text())
                                    .AddText("who", held->by.InWords())
                                    .AddText("since", held->since)
                                    .Text());
  };
  return kdt::StatusJson(unit.Status(), unit.Where(), protect, first);
}

std::string TakeJson(const TakeResult& answer) {
  std::vector<std::string> relays;
  for (const TakeRelay& relay : answer.relays) {
    kdt::JsonObject object;
    object.AddText("unit", relay.unit)
        .AddText("relay", std::string(1, kdt::RelayLetter(relay.relay)));
    AddInput(object, "from", relay.from);
    AddInput(object, "to", relay.to);
    AddInput(object, "now", relay.now);
    relays.push_back(object.AddText("outcome", relay.outcome).Text());
  }
  return kdt::JsonObject()
      .AddText("salvo", answer.salvo)
      .AddText("result", answer.result)
      .AddJson("relays", kdt::JsonArray(relays))
      .Text();
}

}  // namespace bridge
