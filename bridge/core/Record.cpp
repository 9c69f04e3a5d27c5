#include "core/Record.h"

#include "Platform.h"
#include "StatusJson.h"
#include "core/Log.h"

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

void Record::SetListener(std::function<void(const RecordEntry&)> listener) {
  listener_ = std::move(listener);
}

void Record::Add(RecordEntry entry) {
  if (entry.time.empty()) entry.time = EntryTime();
  entry.seq = NextSeq();
  Log(EntryLine(entry));
  entries_.push_back(std::move(entry));
  if (entries_.size() > kKept) entries_.pop_front();
  if (listener_) listener_(entries_.back());
}

}  // namespace bridge
