#include "Platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
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

// The signal pipe's whole state: only what a signal handler may touch.
constexpr int kSignalCount = 65;
int pipeWriteEnd = -1;
int pipeReadEnd = -1;
volatile sig_atomic_t ending[kSignalCount] = {};
volatile sig_atomic_t endingCame = 0;

void OnPipedSignal(int signal) {
  if (signal > 0 && signal < kSignalCount && ending[signal] != 0) {
    if (endingCame != 0) {
      ::signal(signal, SIG_DFL);
      raise(signal);
      return;
    }
    endingCame = 1;
  }
  const int saved = errno;
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t written = write(pipeWriteEnd, &byte, 1);
  errno = saved;
}

void Handle(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signal, &action, nullptr);
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

int OpenSignalPipe(std::initializer_list<int> endingSignals, std::initializer_list<int> others) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  pipeReadEnd = fds[0];
  pipeWriteEnd = fds[1];
  endingCame = 0;
  for (int signal : endingSignals) {
    ending[signal] = 1;
    Handle(signal, OnPipedSignal);
  }
  for (int signal : others) Handle(signal, OnPipedSignal);
  return pipeReadEnd;
}

void CloseSignalPipe() {
  for (int signal = 1; signal < kSignalCount; ++signal) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == OnPipedSignal) {
      Handle(signal, SIG_DFL);
    }
    ending[signal] = 0;
  }
  for (int* fd : {&pipeReadEnd, &pipeWriteEnd}) {
    if (*fd != -1) close(*fd);
    *fd = -1;
  }
}

void CatchInterrupts(std::atomic<bool>& interrupted) {
  interruptFlag = &interrupted;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace kdt
