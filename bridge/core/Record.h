// The record of who switched what: every change the bridge sees or makes (a
// relay's input, lock or name, a unit's connection, a protect, a take) as
// one entry, the newest 500 held for the faces that show it, and all of it
// kept in the state directory where there is one (RecordFile.h). Each entry
// is the bridge's log line for that change too, said here and only here. Entries and the
// faces' other events share one sequence, so that a client can tell which
// came first. Free of Qt.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
  // What people called them at the time, for the page's words: the relay's
  // name (of an input or lock change), the labels of the inputs (where a
  // unit's INPUT1=/INPUT2= give them), the salvo's label.
  std::string relayName{};
  std::string fromLabel{}, toLabel{};
  std::string salvoLabel{};
};

// The entry as the log's line: "studio: RELAY A: input INPUT 1 -> INPUT 2, by
// web alice", "salvo evening: take done, by mqtt", text from outside
// escaped.
std::string EntryLine(const RecordEntry& entry);
// The local time now as entries give it.
std::string EntryTime();

class RecordFile;
struct RecordBounds;
struct RecordQuery;

class Record {
 public:
  static constexpr std::size_t kKept = 500;

  Record();
  ~Record();
  // Kept in the file at `path` from now on (RecordFile.h): its newest
  // entries are the record's, and the numbers go on after them. Empty: only
  // while the bridge runs. A reload that names the same file changes
  // nothing.
  void KeepIn(const std::string& path, const RecordBounds& bounds);
  // The entries the query wants, newest first: of the file, where there is
  // one; else of the newest kept here.
  std::vector<RecordEntry> Query(const RecordQuery& query) const;

  // Told of each entry, numbered, once it is kept and said.
  void SetListener(std::function<void(const RecordEntry&)> listener);
  // The next number of the faces' events.
  std::uint64_t NextSeq() { return ++seq_; }
  std::uint64_t Seq() const { return seq_; }
  // Stamps, numbers, keeps and says the entry, the oldest going past kKept.
  void Add(RecordEntry entry);
  const std::deque<RecordEntry>& Entries() const { return entries_; }

 private:
  void Keep(RecordEntry entry);

  std::uint64_t seq_ = 0;
  std::deque<RecordEntry> entries_;
  std::unique_ptr<RecordFile> file_;
  bool writeFailed_ = false;
  std::function<void(const RecordEntry&)> listener_;
};

}  // namespace bridge
