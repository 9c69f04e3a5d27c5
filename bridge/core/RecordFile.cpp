#include "core/RecordFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>

namespace bridge {
namespace {

constexpr char kSeparator = '\t';
constexpr std::size_t kFields = 14;
constexpr std::size_t kChunk = 64 * 1024;
// How often an append looks whether the oldest entry has outlived the days.
constexpr std::uint64_t kAgeCheckEvery = 1024;
constexpr std::int64_t kDayMs = 24ll * 60 * 60 * 1000;

std::string Escaped(const std::string& field) {
  std::string text;
  for (char c : field) {
    switch (c) {
      case '\\':
        text += "\\\\";
        break;
      case '\t':
        text += "\\t";
        break;
      case '\n':
        text += "\\n";
        break;
      case '\r':
        text += "\\r";
        break;
      default:
        text += c;
    }
  }
  return text;
}

bool Unescaped(std::string_view text, std::string& field) {
  field.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      field += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\':
        field += '\\';
        break;
      case 't':
        field += '\t';
        break;
      case 'n':
        field += '\n';
        break;
      case 'r':
        field += '\r';
        break;
      default:
        return false;
    }
  }
  return true;
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool Digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// The entry's age, in the entry's own clock: none when its time is not one.
bool OlderThan(const RecordEntry& entry, std::int64_t cutoffMs) {
  const std::optional<std::int64_t> at = IsoTimeMs(entry.time);
  return at && *at < cutoffMs;
}

}  // namespace

std::optional<std::int64_t> IsoTimeMs(std::string_view text) {
  int year, month, day, hour, minute, second;
  if (!Digits(text, 0, 4, year) || text.size() < 19 || text[4] != '-' ||
      !Digits(text, 5, 2, month) || text[7] != '-' || !Digits(text, 8, 2, day) ||
      (text[10] != 'T' && text[10] != ' ') || !Digits(text, 11, 2, hour) || text[13] != ':' ||
      !Digits(text, 14, 2, minute) || text[16] != ':' || !Digits(text, 17, 2, second) ||
      month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  std::size_t at = 19;
  int milliseconds = 0;
  if (at < text.size() && text[at] == '.') {
    std::size_t digits = 0;
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
      if (digits < 3) milliseconds = milliseconds * 10 + (text[at] - '0');
    }
    if (digits == 0) return std::nullopt;
    for (; digits < 3; ++digits) milliseconds *= 10;
  }
  int offsetMinutes = 0;
  if (at < text.size() && text[at] == 'Z' && at + 1 == text.size()) {
    offsetMinutes = 0;
  } else if (int oh, om; at + 6 == text.size() && (text[at] == '+' || text[at] == '-') &&
                         Digits(text, at + 1, 2, oh) && text[at + 3] == ':' &&
                         Digits(text, at + 4, 2, om)) {
    offsetMinutes = (text[at] == '-' ? -1 : 1) * (oh * 60 + om);
  } else {
    return std::nullopt;
  }
  const std::int64_t days = DaysFromCivil(year, unsigned(month), unsigned(day));
  const std::int64_t seconds =
      days * 86400 + hour * 3600 + minute * 60 + second - std::int64_t(offsetMinutes) * 60;
  return seconds * 1000 + milliseconds;
}

bool RecordQuery::Matches(const RecordEntry& entry) const {
  if (before != 0 && entry.seq >= before) return false;
  if (!unit.empty() && entry.unit != unit) return false;
  if (!relay.empty() && entry.relay != relay) return false;
  if (!by.empty() && entry.by != by && !entry.by.starts_with(by + " ") &&
      !entry.by.starts_with(by + ",")) {
    return false;
  }
  if (sinceMs || untilMs) {
    const std::optional<std::int64_t> at = IsoTimeMs(entry.time);
    if (!at || (sinceMs && *at < *sinceMs) || (untilMs && *at > *untilMs)) return false;
  }
  return true;
}

std::string EntryFileLine(const RecordEntry& entry) {
  const std::string* fields[] = {
      &entry.time,      &entry.unit,    &entry.relay,     &entry.change, &entry.from,
      &entry.to,        &entry.by,      &entry.salvo,     &entry.detail, &entry.relayName,
      &entry.fromLabel, &entry.toLabel, &entry.salvoLabel};
  std::string line = std::to_string(entry.seq);
  for (const std::string* field : fields) line += kSeparator + Escaped(*field);
  return line;
}

bool ReadEntryFileLine(std::string_view line, RecordEntry& entry) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = line.find(kSeparator, start);
    parts.push_back(line.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (parts.size() != kFields || parts[0].empty() || parts[0].size() > 19) return false;
  std::uint64_t seq = 0;
  for (char c : parts[0]) {
    if (c < '0' || c > '9') return false;
    seq = seq * 10 + std::uint64_t(c - '0');
  }
  RecordEntry read;
  read.seq = seq;
  std::string* fields[] = {&read.time,      &read.unit,      &read.relay,     &read.change,
                           &read.from,      &read.to,        &read.by,        &read.salvo,
                           &read.detail,    &read.relayName, &read.fromLabel, &read.toLabel,
                           &read.salvoLabel};
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    if (!Unescaped(parts[i + 1], *fields[i])) return false;
  }
  entry = std::move(read);
  return true;
}

RecordFile::~RecordFile() {
  if (fd_ >= 0) close(fd_);
}

bool RecordFile::Open(const std::string& path, RecordBounds bounds,
                      std::vector<std::string>& said) {
  if (fd_ >= 0) close(fd_);
  path_ = path;
  bounds_ = bounds;
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd_ < 0) return false;
  struct stat status {};
  fstat(fd_, &status);
  size_ = std::uint64_t(status.st_size);
  if (!DropTornEnd(said)) return false;
  return Compact(NowMs(), said);
}

// A write cut short leaves a last line without its end: it goes, and
// nothing before it.
bool RecordFile::DropTornEnd(std::vector<std::string>& said) {
  if (size_ == 0) return true;
  std::uint64_t end = size_;
  char chunk[kChunk];
  while (end > 0) {
    const std::uint64_t start = end > kChunk ? end - kChunk : 0;
    const ssize_t got = pread(fd_, chunk, std::size_t(end - start), off_t(start));
    if (got != ssize_t(end - start)) return false;
    for (std::uint64_t i = end - start; i > 0; --i) {
      if (chunk[i - 1] != '\n') continue;
      const std::uint64_t keep = start + i;
      if (keep == size_) return true;
      said.push_back("record: dropped a torn last line of " + std::to_string(size_ - keep) +
                     " bytes in " + path_);
      if (ftruncate(fd_, off_t(keep)) != 0) return false;
      size_ = keep;
      return true;
    }
    end = start;
  }
  said.push_back("record: dropped a torn line of " + std::to_string(size_) + " bytes in " + path_);
  if (ftruncate(fd_, 0) != 0) return false;
  size_ = 0;
  return true;
}

// What has outlived the days goes, and the oldest until the newest fit in
// three quarters of the size, so that the next entries append for a while:
// written beside the file, then in its place, so that a cut leaves one or
// the other whole.
bool RecordFile::Compact(std::int64_t nowMs, std::vector<std::string>& said) {
  const std::int64_t cutoff = nowMs - std::int64_t(bounds_.days) * kDayMs;
  {
    std::ifstream in(path_, std::ios::binary);
    std::string first;
    RecordEntry entry;
    const bool old =
        std::getline(in, first) && ReadEntryFileLine(first, entry) && OlderThan(entry, cutoff);
    if (!old && size_ <= bounds_.bytes) return true;
  }
  std::ifstream in(path_, std::ios::binary);
  std::deque<std::string> kept;
  std::uint64_t keptBytes = 0, dropped = 0;
  const std::uint64_t target = bounds_.bytes / 4 * 3;
  for (std::string line; std::getline(in, line);) {
    RecordEntry entry;
    if (!ReadEntryFileLine(line, entry) || OlderThan(entry, cutoff)) {
      ++dropped;
      continue;
    }
    keptBytes += line.size() + 1;
    kept.push_back(std::move(line));
    while (keptBytes > target && !kept.empty()) {
      keptBytes -= kept.front().size() + 1;
      kept.pop_front();
      ++dropped;
    }
  }
  const std::string beside = path_ + ".new";
  {
    std::ofstream out(beside, std::ios::binary | std::ios::trunc);
    for (const std::string& line : kept) out << line << '\n';
    out.flush();
    if (!out) return false;
  }
  if (std::rename(beside.c_str(), path_.c_str()) != 0) return false;
  close(fd_);
  fd_ = open(path_.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  size_ = keptBytes;
  appended_ = 0;
  if (dropped > 0) {
    said.push_back("record: dropped its " + std::to_string(dropped) + " oldest entries, beyond " +
                   std::to_string(bounds_.days) + " days or " +
                   std::to_string(bounds_.bytes >> 20) + " MiB");
  }
  return fd_ >= 0;
}

bool RecordFile::Append(const RecordEntry& entry, std::vector<std::string>& said) {
  if (fd_ < 0) return false;
  const std::string line = EntryFileLine(entry) + '\n';
  if (write(fd_, line.data(), line.size()) != ssize_t(line.size())) return false;
  size_ += line.size();
  if (size_ > bounds_.bytes || ++appended_ >= kAgeCheckEvery) {
    appended_ = 0;
    return Compact(NowMs(), said);
  }
  return true;
}

std::uint64_t RecordFile::LastSeq() const {
  RecordQuery newest;
  newest.limit = 1;
  const std::vector<RecordEntry> last = Query(newest);
  return last.empty() ? 0 : last.front().seq;
}

// The number of the entry whose line begins at or after `offset`; none at
// the file's end.
std::optional<std::uint64_t> RecordFile::SeqAfter(std::uint64_t offset) const {
  char chunk[256];
  std::uint64_t at = offset;
  bool lineStart = offset == 0;
  while (at < size_) {
    const ssize_t got = pread(fd_, chunk, sizeof chunk, off_t(at));
    if (got <= 0) return std::nullopt;
    std::size_t i = 0;
    if (!lineStart) {
      while (i < std::size_t(got) && chunk[i] != '\n') ++i;
      if (i == std::size_t(got)) {
        at += std::uint64_t(got);
        continue;
      }
      ++i;
      lineStart = true;
    }
    const std::size_t numberStart = i;
    std::uint64_t seq = 0;
    for (; i < std::size_t(got) && chunk[i] >= '0' && chunk[i] <= '9'; ++i) {
      seq = seq * 10 + std::uint64_t(chunk[i] - '0');
    }
    if (i == numberStart) return std::nullopt;  // not a line of the record
    if (i < std::size_t(got)) return seq;
    if (at + std::uint64_t(got) >= size_) return std::nullopt;
    at += numberStart;  // a number cut by the chunk's end: read it again whole
  }
  return std::nullopt;
}

// Where the entries numbered below `before` end: found by halving, as the
// numbers only grow along the file.
std::uint64_t RecordFile::EndBefore(std::uint64_t before) const {
  std::uint64_t low = 0, high = size_;  // the end lies in [low, high]
  while (high - low > kChunk) {
    const std::uint64_t middle = low + (high - low) / 2;
    const std::optional<std::uint64_t> seq = SeqAfter(middle);
    if (seq && *seq < before) {
      low = middle;
    } else {
      high = middle;
    }
  }
  return std::min(size_, high + kChunk);
}

// From the end back, a chunk at a time, until the query has all it wants.
std::vector<RecordEntry> RecordFile::Query(const RecordQuery& query) const {
  std::vector<RecordEntry> found;
  if (fd_ < 0) return found;
  std::uint64_t end = query.before != 0 ? EndBefore(query.before) : size_;
  std::string carry;  // the start of a line whose rest was read before
  char chunk[kChunk];
  while (end > 0 && (query.limit == 0 || found.size() < query.limit)) {
    const std::uint64_t start = end > kChunk ? end - kChunk : 0;
    const ssize_t got = pread(fd_, chunk, std::size_t(end - start), off_t(start));
    if (got != ssize_t(end - start)) break;
    std::string text(chunk, std::size_t(got));
    text += carry;
    std::size_t lineEnd = text.size();
    for (std::size_t at = text.size(); at > 0; --at) {
      if (text[at - 1] != '\n') continue;
      RecordEntry entry;
      const std::string_view line(text.data() + at, lineEnd - at);
      if (!line.empty() && ReadEntryFileLine(line, entry) && query.Matches(entry)) {
        found.push_back(std::move(entry));
        if (query.limit != 0 && found.size() == query.limit) return found;
      }
      lineEnd = at - 1;
    }
    carry = text.substr(0, lineEnd);
    end = start;
  }
  RecordEntry entry;
  if (!carry.empty() && (query.limit == 0 || found.size() < query.limit) &&
      ReadEntryFileLine(carry, entry) && query.Matches(entry)) {
    found.push_back(std::move(entry));
  }
  return found;
}

}  // namespace bridge
