#include "core/Record.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Platform.h"
#include "StatusJson.h"
#include "core/Log.h"
#include "core/RecordFile.h"

namespace bridge {

std::string EntryLine(const RecordEntry& entry) {
  const std::string detail = entry.detail.empty() ? "" : ": " + entry.detail;
  if (!entry.salvo.empty()) {
    return "salvo " + entry.salvo + ": " + entry.change + " " + entry.to + ", by " + entry.by +
           detail;
  }
  // Routes taken together that no salvo names: a router client's.
  if (entry.change == "take")
    return entry.unit + ": take " + entry.to + ", by " + entry.by + detail;
  // The journal has more to say of a connection than the page: where, and
  // what the unit showed.
  if (entry.change == "connection") return entry.unit + ": " + entry.detail;
  // Names are quoted and escaped; inputs, locks and owners are the
  // bridge's own words.
  const auto shown = [&entry](const std::string& value) {
    return entry.change == "name" ? kdt::JsonText(value) : value;
  };
  return entry.unit + ": RELAY " + entry.relay + ": " + entry.change + " " + shown(entry.from) +
         " -> " + shown(entry.to) + ", by " + entry.by;
}

std::string EntryTime() {
  return kdt::IsoTime(kdt::LocalTimeNow());
}

Record::Record() = default;
Record::~Record() = default;

void Record::KeepIn(const std::string& path, const RecordBounds& bounds) {
  if (path.empty() || (file_ && file_->Path() == path)) return;
  auto file = std::make_unique<RecordFile>();
  std::vector<std::string> said;
  const bool opened = file->Open(path, bounds, said);
  for (const std::string& line : said) Log(line);
  if (!opened) {
    Log("record: cannot keep it in " + path + ": " + std::strerror(errno) +
        "; kept only while the bridge runs");
    return;
  }
  file_ = std::move(file);
  RecordQuery newest;
  newest.limit = kKept;
  std::vector<RecordEntry> kept = file_->Query(newest);
  // What happened here before the file was read stays, after the file's.
  std::deque<RecordEntry> before = std::move(entries_);
  entries_.assign(kept.rbegin(), kept.rend());
  if (!entries_.empty()) seq_ = std::max(seq_, entries_.back().seq);
  for (RecordEntry& entry : before) {
    entry.seq = NextSeq();
    Keep(std::move(entry));
  }
}

std::vector<RecordEntry> Record::Query(const RecordQuery& query) const {
  if (file_) return file_->Query(query);
  std::vector<RecordEntry> found;
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (!query.Matches(*it)) continue;
    found.push_back(*it);
    if (query.limit != 0 && found.size() == query.limit) break;
  }
  return found;
}

void Record::SetListener(std::function<void(const RecordEntry&)> listener) {
  listener_ = std::move(listener);
}

void Record::Add(RecordEntry entry) {
  if (entry.time.empty()) entry.time = EntryTime();
  entry.seq = NextSeq();
  Log(EntryLine(entry));
  Keep(std::move(entry));
  if (listener_) listener_(entries_.back());
}

void Record::Keep(RecordEntry entry) {
  if (file_) {
    std::vector<std::string> said;
    const bool written = file_->Append(entry, said);
    for (const std::string& line : said) Log(line);
    // Said once while it lasts (a full disk), and again once it has passed.
    if (written == writeFailed_) {
      Log(written ? "record: writing " + file_->Path() + " again"
                  : "record: cannot write " + file_->Path() + ": " + std::strerror(errno));
    }
    writeFailed_ = !written;
  }
  entries_.push_back(std::move(entry));
  if (entries_.size() > kKept) entries_.pop_front();
}

}  // namespace bridge
