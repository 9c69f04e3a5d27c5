#include "core/Log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "CodePage.h"
#include "Platform.h"
#include "StatusJson.h"

namespace bridge {

void AddPart(std::string& text, const std::string& part) {
  if (!text.empty()) text += ", ";
  text += part;
}

bool LogGoesToTheJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");  // "device:inode" of the journal's socket
  struct stat st {};
  if (stream == nullptr || fstat(STDERR_FILENO, &st) != 0) return false;
  unsigned long long device = 0, inode = 0;
  return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && device == st.st_dev &&
         inode == st.st_ino;
}

void Log(const std::string& line) {
  static const bool journal = LogGoesToTheJournal();
  static std::mutex mutex;
  // The journal stamps every line itself.
  const std::string stamp =
      journal ? std::string() : kdt::TimeText(kdt::LocalTimeNow(), "%Y-%m-%d %H:%M:%S") + " ";
  const std::string text = stamp + line + "\n";
  std::lock_guard lock(mutex);
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

namespace {

std::string Cut(std::size_t size, std::size_t most) {
  return size > most ? "... (" + std::to_string(size) + " bytes)" : "";
}

}  // namespace

std::string Quoted(std::string_view text, std::size_t most) {
  return kdt::JsonText(text.substr(0, most)) + Cut(text.size(), most);
}

std::string HexCut(std::span<const std::uint8_t> bytes, std::size_t most) {
  const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return kdt::HexText(all.substr(0, most), " ") + Cut(bytes.size(), most);
}

std::string KindOf(const std::string& reason) {
  return reason.substr(0, reason.find_first_of("(\"0123456789"));
}

LogThrottle::LogThrottle() {
  sumUp_.setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(kPeriod));
  connect(&sumUp_, &QTimer::timeout, this, &LogThrottle::SumUp);
}

void LogThrottle::Log(const std::string& kind, const std::string& source, const std::string& line) {
  const auto [found, isNew] = held_.try_emplace({kind, source});
  Held& held = found->second;
  if (!isNew) {
    ++held.count;
    held.last = line;
    return;
  }
  held.since = Clock::now();
  bridge::Log(line);
  if (!sumUp_.isActive()) sumUp_.start();
}

// What was held back comes out summed up in one line; a kind that has been
// quiet for a whole period is forgotten, so that its next line goes out at
// once.
void LogThrottle::SumUp() {
  const Clock::time_point now = Clock::now();
  for (auto it = held_.begin(); it != held_.end();) {
    Held& held = it->second;
    if (now - held.since < kPeriod) {
      ++it;
      continue;
    }
    if (held.count == 0) {
      it = held_.erase(it);
      continue;
    }
    bridge::Log(held.last + " (" + std::to_string(held.count) + " such in " +
                std::to_string(kPeriod.count()) + " s)");
    held.count = 0;
    held.since = now;
    ++it;
  }
  if (held_.empty()) sumUp_.stop();
}

}  // namespace bridge
