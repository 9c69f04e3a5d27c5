// Who switched what: every change the bridge sees (a relay's input, lock or
// name, a unit's connection) as one entry, and the newest 500 of them, for
// the page. Every entry is also the bridge's log line for that change, so
// that the journal keeps the record across restarts. Entries and the page's
// other events share one sequence, so that a client can tell which came
// first. Free of Qt.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace bridge {

struct LogEntry {
  std::uint64_t seq = 0;
  std::string time;  // "2026-12-10T17:35:46.335+01:00"
  std::string unit;
  std::string relay;  // "A", "B", "C"; empty for a connection or a take
  // "input", "name", "lock", "connection", "protect", "release", "forced
  // release", or "take" (from nothing to its result)
  std::string change;
  std::string from, to;
  // "web alice", "web", "mqtt", "client 127.0.0.1:40000", "unit", "bridge",
  // "web alice, salvo evening"
  std::string by;
  std::string salvo;  // of a take; its unit is empty
};

// Who made a change when no command through the bridge explains it: the
// unit's front panel, or a program connected to the unit itself.
constexpr const char* kByUnit = "unit";
constexpr const char* kByBridge = "bridge";

// The entry as the page and the HTTP interface give it: one JSON object.
std::string EntryJson(const LogEntry& entry);
// The entry as the log's line: "studio: RELAY A: input INPUT 1 -> INPUT 2, by
// web alice", "salvo evening: take done, by mqtt", text from outside escaped.
std::string EntryLine(const LogEntry& entry);
// The local time now as entries give it.
std::string EntryTime();

class LogBook {
 public:
  static constexpr std::size_t kKept = 500;

  // The next number of the page's events.
  std::uint64_t NextSeq() { return ++seq_; }
  std::uint64_t Seq() const { return seq_; }
  // Numbers the entry and keeps it, the oldest going past kKept.
  const LogEntry& Add(LogEntry entry);
  const std::deque<LogEntry>& Entries() const { return entries_; }

 private:
  std::uint64_t seq_ = 0;
  std::deque<LogEntry> entries_;
};

}  // namespace bridge
