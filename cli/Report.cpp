#include "Report.h"

#include <cstdio>
#include <cstdlib>

#include "CodePage.h"
#include "Platform.h"
#include "Relays.h"
#include "StatusJson.h"

namespace cli {
namespace {

constexpr const char* kGreen = "\x1b[32m";   // INPUT 1, as the console paints it
constexpr const char* kOrange = "\x1b[33m";  // INPUT 2
constexpr const char* kPlain = "\x1b[0m";

// A line of `watch`: with --json an object with the time, the event and its
// members, else the time and the words.
std::string Event(const char* event, bool json, const kdt::JsonObject& members,
                  const std::string& words) {
  const std::string now = kdt::IsoTime(kdt::LocalTimeNow());
  if (json) {
    return kdt::JsonObject()
               .AddText("time", now)
               .AddText("event", event)
               .AddMembers(members)
               .Text() +
           "\n";
  }
  return now + " " + words + "\n";
}

}  // namespace

bool ColourWanted() {
  return std::getenv("NO_COLOR") == nullptr && kdt::OutputTakesColour();
}

std::string StatusTable(const kdt::UnitStatus& status, const std::string& unit, bool colour) {
  std::string text = "unit " + unit + ", model " + std::to_string(status.model) +
                     (status.model == kdt::kModelKdt212 ? " (KDT-212)" : " (not a KDT-212)") +
                     "\nRELAY  INPUT  LOCKED  NAME\n";
  for (int relay : kdt::kRelaysLeftToRight) {
    const std::uint8_t state = status.state[relay - 1];
    const int input = kdt::InputOf(state);
    const std::string shown = input != 0 ? std::to_string(input) : "?";
    const char* paint = !colour || input == 0 ? "" : input == kdt::kInput1 ? kGreen : kOrange;
    text += std::string(1, kdt::RelayLetter(relay)) + "      " + paint + shown +
            (*paint != '\0' ? kPlain : "") + "      " + (kdt::IsLocked(state) ? "yes" : "no ") +
            "     " + kdt::PrintableText(status.name[relay - 1]) + "\n";
  }
  return text;
}

std::string ConnectedLine(const kdt::UnitStatus& status, const std::string& unit, bool json) {
  return Event("connected", json,
               kdt::JsonObject().AddText("unit", unit).AddNumber("model", status.model),
               "connected to " + unit + ", model " + std::to_string(status.model));
}

std::string DisconnectedLine(const std::string& reason, bool json) {
  return Event("disconnected", json, kdt::JsonObject().AddText("reason", reason),
               "disconnected: " + reason + "; reconnecting");
}

std::string ModelLine(const kdt::UnitStatus& status, bool json) {
  return Event("model", json, kdt::JsonObject().AddNumber("model", status.model),
               "model " + std::to_string(status.model));
}

std::string RelayLine(const kdt::UnitStatus& status, int relay, bool json) {
  const std::uint8_t state = status.state[relay - 1];
  const int input = kdt::InputOf(state);
  return Event("relay", json, kdt::RelayJson(status, relay),
               kdt::RelayLabel(relay) + " input=" + (input != 0 ? std::to_string(input) : "?") +
                   " locked=" + (kdt::IsLocked(state) ? "yes" : "no") + " name=\"" +
                   kdt::PrintableText(status.name[relay - 1]) + "\"");
}

}  // namespace cli
