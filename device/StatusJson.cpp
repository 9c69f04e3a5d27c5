#include "StatusJson.h"

#include "CodePage.h"
#include "Relays.h"

namespace kdt {

JsonObject RelayJson(const UnitStatus& status, int relay) {
  const std::uint8_t state = status.state[relay - 1];
  const std::string& name = status.name[relay - 1];
  JsonObject object;
  object.AddText("relay", std::string(1, RelayLetter(relay))).AddNumber("number", relay);
  if (const int input = InputOf(state); input != 0) {
    object.AddNumber("input", input);
  } else {
    object.AddNull("input");
  }
  return object.AddBool("locked", IsLocked(state))
      .AddNumber("state", state)
      .AddText("name", DecodeToUtf8(name))
      .AddText("name_hex", HexText(name));
}

std::string StatusJson(const UnitStatus& status, const std::string& unit, const RelayJsonMore& more,
                       const JsonObject& first) {
  std::vector<std::string> relays;
  for (int relay : kRelaysLeftToRight) {
    JsonObject object = RelayJson(status, relay);
    if (more) more(relay, object);
    relays.push_back(object.Text());
  }
  return JsonObject(first)
      .AddText("unit", unit)
      .AddBool("connected", true)
      .AddNumber("model", status.model)
      .AddNumber("header", status.header)
      .AddJson("relays", JsonArray(relays))
      .Text();
}

std::string NotConnectedJson(const std::string& unit, const std::string& reason,
                             const JsonObject& first) {
  return JsonObject(first)
      .AddText("unit", unit)
      .AddBool("connected", false)
      .AddText("reason", reason)
      .AddNull("model")
      .AddNull("header")
      .AddJson("relays", "[]")
      .Text();
}

}  // namespace kdt
