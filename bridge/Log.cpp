#include "Log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace bridge {
namespace {

std::string TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
  char text[48];
  std::snprintf(text, sizeof text, "%s.%03d ", date, int(millis));
  return text;
}

}  // namespace

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
  const std::string text = (journal ? std::string() : TimeStamp()) + line + "\n";
  std::lock_guard lock(mutex);
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace bridge
