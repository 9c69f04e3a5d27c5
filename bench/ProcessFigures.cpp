#include "ProcessFigures.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "Report.h"

namespace bench {
namespace {

constexpr long kRssToleranceKb = 2048;

long EntriesIn(const std::string& folder) {
  long count = 0;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

}  // namespace

long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

double CpuSecondsOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  // The fields after the command's name, which is in parentheses and may
  // hold blanks: state is field 3, utime 14 and stime 15.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number >= 14) ticks += std::stod(field);
  }
  return ticks / double(sysconf(_SC_CLK_TCK));
}

ProcessSample SampleOf(pid_t pid) {
  const std::string process = "/proc/" + std::to_string(pid);
  return {EntriesIn(process + "/fd"), EntriesIn(process + "/task"), ResidentKb(pid)};
}

bool ReportFlat(const char* who, const ProcessSample& before, const ProcessSample& after) {
  bool met = true;
  const std::string figure = std::string(who);
  met &= Report((figure + ": open descriptors, start -> end").c_str(),
                Format("%.0f -> %.0f", double(before.descriptors), double(after.descriptors)),
                "equal", after.descriptors <= before.descriptors);
  met &= Report((figure + ": threads, start -> end").c_str(),
                Format("%.0f -> %.0f", double(before.threads), double(after.threads)), "equal",
                after.threads <= before.threads);
  met &= Report((figure + ": resident memory (KiB), start -> end").c_str(),
                Format("%.0f -> %.0f", double(before.rssKb), double(after.rssKb)), "+2048 KiB",
                after.rssKb - before.rssKb <= kRssToleranceKb);
  return met;
}

}  // namespace bench
