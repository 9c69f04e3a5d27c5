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

// Local time, ISO 8601 to the millisecond, with the offset from UTC.
std::string Now() {
  const kdt::LocalTime local = kdt::LocalTimeNow();
  const int offset = local.utcOffsetMinutes < 0 ? -local.utcOffsetMinutes : local.utcOffsetMinutes;
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", local.utcOffsetMinutes < 0 ? '-' : '+',
                offset / 60, offset % 60);
  return kdt::TimeText(local, "%Y-%m-%dT%H:%M:%S") + zone;
}

std::string Event(const char* event, bool json, const std::string& fields,
                  const std::string& words) {
  if (json) {
    return "{\"time\":\"" + Now() + "\",\"event\":\"" + event + "\"" +
           (fields.empty() ? "" : "," + fields) + "}\n";
  }
  return Now() + " " + words + "\n";
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
               "\"unit\":" + kdt::JsonText(unit) + ",\"model\":" + std::to_string(status.model),
               "connected to " + unit + ", model " + std::to_string(status.model));
}

std::string DisconnectedLine(const std::string& reason, bool json) {
  return Event("disconnected", json, "\"reason\":" + kdt::JsonText(reason),
               "disconnected: " + reason + "; reconnecting");
}

std::string ModelLine(const kdt::UnitStatus& status, bool json) {
  return Event("model", json, "\"model\":" + std::to_string(status.model),
               "model " + std::to_string(status.model));
}

std::string RelayLine(const kdt::UnitStatus& status, int relay, bool json) {
  const std::uint8_t state = status.state[relay - 1];
  const int input = kdt::InputOf(state);
  return Event("relay", json, kdt::RelayJsonFields(status, relay),
               kdt::RelayLabel(relay) + " input=" + (input != 0 ? std::to_string(input) : "?") +
                   " locked=" + (kdt::IsLocked(state) ? "yes" : "no") + " name=\"" +
                   kdt::PrintableText(status.name[relay - 1]) + "\"");
}

}  // namespace cli
