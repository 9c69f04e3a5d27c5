#include "Platform.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <climits>

namespace kdt {
namespace {

std::atomic<bool>* interruptFlag = nullptr;
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnInterrupt(int signal) {
  if (interruptFlag->exchange(true)) {
    ::signal(signal, SIG_DFL);
    raise(signal);
  }
}

}  // namespace

std::string OwnExecutablePath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, std::size_t(length)) : std::string();
}

void NameThisThread(const char* name) {
  prctl(PR_SET_NAME, name);
}

void UseFineTimerSlack() {
  prctl(PR_SET_TIMERSLACK, 1UL);
}

std::string WindowFaceFontFile() {
  return "/usr/share/wine/fonts/tahoma.ttf";
}

void CatchInterrupts(std::atomic<bool>& interrupted) {
  interruptFlag = &interrupted;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace kdt
