// The record of who switched what: every change the bridge sees or makes (a
// relay's input, lock or name, a unit's connection, a protect, a take) as
// one entry, kept the newest 500 for the faces that show it. Each entry is
// the bridge's log line for that change too, said here and only here, so
// that the journal keeps the record across restarts. Entries and the
// faces' other events share one sequence, so that a client can tell which
// came first. Free of Qt.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace bridge {

// Built by name: RecordEntry{.unit = "studio", .relay = "A", .change = ...}.
struct RecordEntry {
  std::uint64_t seq = 0;  // given by the record
  std::string time{};     // "2026-12-10T17:35:46.335+01:00"; the record's clock when empty
  std::string unit{};     // empty for a salvo's take
  std::string relay{};    // "A", "B", "C"; empty for a connection or a take
  // "input", "name", "lock", "connection", "protect", "release", "forced
  // release", or "take" (from nothing to its result)
  std::string change{};
  std::string from{}, to{};
  std::string by{};     // Cause::Text(): "web alice", "unit", "web alice, salvo evening"
  std::string salvo{};  // of a take; empty for routes taken together
  // What the log line says beyond the change, and the faces do not show:
  // where a unit connected and what it showed, what stood in a take's way.
  std::string detail{};
};

// The entry as the log's line: "studio: RELAY A: input INPUT 1 -> INPUT 2, by
// web alice", "salvo evening: take done, by mqtt", text from outside
// escaped.
std::string EntryLine(const RecordEntry& entry);
// The local time now as entries give it.
std::string EntryTime();

class Record {
 public:
  static constexpr std::size_t kKept = 500;

  // Told of each entry, numbered, once it is kept and said.
  void SetListener(std::function<void(const RecordEntry&)> listener);
  // The next number of the faces' events.
  std::uint64_t NextSeq() { return ++seq_; }
  std::uint64_t Seq() const { return seq_; }
  // Stamps, numbers, keeps and says the entry, the oldest going past kKept.
  void Add(RecordEntry entry);
  const std::deque<RecordEntry>& Entries() const { return entries_; }

 private:
  std::uint64_t seq_ = 0;
  std::deque<RecordEntry> entries_;
  std::function<void(const RecordEntry&)> listener_;
};

}  // namespace bridge
