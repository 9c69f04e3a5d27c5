// What a benchmark reads of a process: its resident memory and the CPU time
// it has used, from /proc.
#pragma once

#include <sys/types.h>

namespace bench {

long ResidentKb(pid_t pid);
// User and system time together, in seconds (to the kernel's clock tick).
double CpuSecondsOf(pid_t pid);

}  // namespace bench
