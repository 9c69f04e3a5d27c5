#include "Log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "Platform.h"

namespace bridge {

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

}  // namespace bridge
