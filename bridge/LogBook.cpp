#include "LogBook.h"

#include <cstdio>
#include <cstdlib>

#include "Platform.h"
#include "StatusJson.h"

namespace bridge {

std::string EntryJson(const LogEntry& entry) {
  std::string json = "{\"seq\":" + std::to_string(entry.seq) +
                     ",\"time\":" + kdt::JsonText(entry.time) +
                     ",\"unit\":" + kdt::JsonText(entry.unit);
  if (!entry.salvo.empty()) json += ",\"salvo\":" + kdt::JsonText(entry.salvo);
  if (!entry.relay.empty()) json += ",\"relay\":" + kdt::JsonText(entry.relay);
  return json + ",\"change\":" + kdt::JsonText(entry.change) +
         ",\"from\":" + kdt::JsonText(entry.from) + ",\"to\":" + kdt::JsonText(entry.to) +
         ",\"by\":" + kdt::JsonText(entry.by) + "}";
}

std::string EntryLine(const LogEntry& entry) {
  // Names are quoted and escaped; inputs, locks and connections are the
  // bridge's own words.
  const auto shown = [&entry](const std::string& value) {
    return entry.change == "name" ? kdt::JsonText(value) : value;
  };
  if (!entry.salvo.empty()) {
    return "salvo " + entry.salvo + ": " + entry.change + " " + entry.to + ", by " + entry.by;
  }
  return entry.unit + ": " + (entry.relay.empty() ? "" : "RELAY " + entry.relay + ": ") +
         entry.change + " " + shown(entry.from) + " -> " + shown(entry.to) + ", by " + entry.by;
}

std::string EntryTime() {
  const kdt::LocalTime now = kdt::LocalTimeNow();
  const int offset = std::abs(now.utcOffsetMinutes);
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", now.utcOffsetMinutes < 0 ? '-' : '+', offset / 60,
                offset % 60);
  return kdt::TimeText(now, "%Y-%m-%dT%H:%M:%S") + zone;
}

const LogEntry& LogBook::Add(LogEntry entry) {
  entry.seq = NextSeq();
  entries_.push_back(std::move(entry));
  if (entries_.size() > kKept) entries_.pop_front();
  return entries_.back();
}

}  // namespace bridge
