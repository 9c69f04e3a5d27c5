// What a benchmark reads of a process: its resident memory, the CPU time it
// has used, its open descriptors and its threads, from /proc; and the churn
// checks' verdict on them.
#pragma once

#include <sys/types.h>

namespace bench {

long ResidentKb(pid_t pid);
// User and system time together, in seconds (to the kernel's clock tick).
double CpuSecondsOf(pid_t pid);

struct ProcessSample {
  long descriptors = 0;
  long threads = 0;
  long rssKb = 0;
};
ProcessSample SampleOf(pid_t pid);
// Flat from `before` to `after`: not one descriptor or thread more, and at
// most 2 MiB more memory, for what the allocator keeps. One line each.
bool ReportFlat(const char* who, const ProcessSample& before, const ProcessSample& after);

}  // namespace bench
