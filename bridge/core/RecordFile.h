// The record kept in a file of the state directory, so that it outlasts a
// restart, an upgrade and a power cut: one line per entry, appended as it
// happens, bounded by days and by size, the oldest dropped first. A torn
// last line (a write cut short) is dropped with a word, never the rest. It
// is read from its end for a query, so that what the bridge holds in memory
// does not grow with it. Free of Qt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Record.h"

namespace bridge {

struct RecordBounds {
  static constexpr int kDefaultDays = 90;
  static constexpr std::uint64_t kDefaultBytes = 64ull << 20;
  int days = kDefaultDays;
  std::uint64_t bytes = kDefaultBytes;
};

// Which entries a reader wants, newest first.
struct RecordQuery {
  std::string unit{};   // empty: any
  std::string relay{};  // "A", "B", "C"; empty: any
  std::string by{};     // an owner ("web alice") or a face ("web"); empty: anyone
  std::optional<std::int64_t> sinceMs{}, untilMs{};  // Unix time, within which
  std::uint64_t before = 0;  // entries numbered below it; 0: from the newest
  std::size_t limit = 0;     // 0: every one

  bool Matches(const RecordEntry& entry) const;
};

// Unix milliseconds of an ISO 8601 time with its offset
// ("2026-12-10T17:35:46.335+01:00", "2026-12-10T16:35:46Z"); none for text
// that is not one.
std::optional<std::int64_t> IsoTimeMs(std::string_view text);

// One entry as a line of the file (no line end), and back.
std::string EntryFileLine(const RecordEntry& entry);
bool ReadEntryFileLine(std::string_view line, RecordEntry& entry);

class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Opens the file, or makes it; false with why. What is worth a log line
  // (a torn line dropped, old entries dropped) is added to `said`.
  bool Open(const std::string& path, RecordBounds bounds, std::vector<std::string>& said);
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }
  // The number of its newest entry; 0 when it has none.
  std::uint64_t LastSeq() const;
  // Appends the entry; the oldest go when it has grown past its size or
  // outlived the days (said in `said`). False when it could not be written
  // (the disk is full).
  bool Append(const RecordEntry& entry, std::vector<std::string>& said);
  // The entries the query wants, newest first.
  std::vector<RecordEntry> Query(const RecordQuery& query) const;
  std::uint64_t Size() const { return size_; }

 private:
  bool Compact(std::int64_t nowMs, std::vector<std::string>& said);
  bool DropTornEnd(std::vector<std::string>& said);
  std::optional<std::uint64_t> SeqAfter(std::uint64_t offset) const;
  std::uint64_t EndBefore(std::uint64_t before) const;

  std::string path_;
  RecordBounds bounds_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint64_t appended_ = 0;  // since the last look at the oldest entry's age
};

}  // namespace bridge
