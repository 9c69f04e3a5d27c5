#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "Platform.h"

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

constexpr mode_t kPrivateFolder = 0700;  // as the XDG base directory rules ask

// Folders of installed programs, as the file system hierarchy gives them.
constexpr std::string_view kInstalledProgramsRoots[] = {"/usr", "/opt", "/bin", "/sbin"};

bool IsAtOrBelow(std::string_view folder, std::string_view root) {
  return folder.starts_with(root) && (folder.size() == root.size() || folder[root.size()] == '/');
}

bool IsBelowAnInstalledRoot(std::string_view folder) {
  for (std::string_view root : kInstalledProgramsRoots) {
    if (IsAtOrBelow(folder, root)) return true;
  }
  return false;
}

sigset_t TerminationSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

bool MakeOneFolder(const std::string& folder) {
  return mkdir(folder.c_str(), kPrivateFolder) == 0 || errno == EEXIST;
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

long RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur == RLIM_INFINITY ? LONG_MAX : long(limit.rlim_cur);
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

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);  // UTF-8 as the terminal gives it
}

void UseUtf8Console() {}

void PrepareTermination() {
  // Blocked in every thread that starts after this, so that only
  // WaitForTermination takes them.
  const sigset_t signals = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void WaitForTermination() {
  const sigset_t signals = TerminationSignals();
  int received = 0;
  sigwait(&signals, &received);
}

void RequestTermination() {
  kill(getpid(), SIGTERM);
}

bool StdinReadable(int timeoutMs) {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  return poll(&input, 1, timeoutMs) > 0;
}

long ReadStdin(char* buffer, std::size_t size) {
  return long(read(STDIN_FILENO, buffer, size));
}

bool OutputTakesColour() {
  const char* term = std::getenv("TERM");
  return isatty(STDOUT_FILENO) == 1 && !(term != nullptr && std::string_view(term) == "dumb");
}

LocalTime LocalTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  LocalTime time;
  localtime_r(&now.tv_sec, &time.fields);
  time.milliseconds = int(now.tv_nsec / 1000000);
  time.utcOffsetMinutes = int(time.fields.tm_gmtoff / 60);
  return time;
}

bool IsPathSeparator(char c) {
  return c == '/';
}

// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
std::string UserConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config";
  return {};
}

bool IsInstalledProgramsFolder(const std::string& folder) {
  char resolved[PATH_MAX];
  if (IsBelowAnInstalledRoot(folder)) return true;
  return realpath(folder.c_str(), resolved) != nullptr && IsBelowAnInstalledRoot(resolved);
}

bool PathExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

bool MayRead(const std::string& path) {
  return access(path.c_str(), R_OK) == 0;
}

bool MayWrite(const std::string& path) {
  return access(path.c_str(), W_OK) == 0;
}

bool MayRun(const std::string& path) {
  return access(path.c_str(), X_OK) == 0;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), (std::string(mode) + "e").c_str());  // "e": O_CLOEXEC
}

bool MakePrivateFolder(const std::string& folder) {
  // The folders above, from the top; one that cannot be made says why the
  // last one cannot.
  int aboveError = 0;
  for (std::size_t slash = folder.find('/', 1); slash != std::string::npos;
       slash = folder.find('/', slash + 1)) {
    if (!MakeOneFolder(folder.substr(0, slash))) aboveError = errno;
  }
  if (MakeOneFolder(folder)) return true;
  if (errno == ENOENT && aboveError != 0) errno = aboveError;
  return false;
}

void CatchInterrupts(std::atomic<bool>& interrupted) {
  interruptFlag = &interrupted;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace kdt
