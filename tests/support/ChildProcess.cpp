#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

void Drain(int& fd, std::string& into) {
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, std::size_t(n));
  } else if (n == 0 || errno != EINTR) {  // a terminal's end reads as EIO
    close(fd);
    fd = -1;
  }
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const Environment& environment, OutputTo outputTo) {
  int out[2], err[2];
  if (pipe2(err, O_CLOEXEC) != 0) std::abort();
  if (outputTo == OutputTo::kTerminal) {
    if (openpty(&out[0], &out[1], nullptr, nullptr, nullptr) != 0) std::abort();
    fcntl(out[0], F_SETFD, FD_CLOEXEC);
    fcntl(out[1], F_SETFD, FD_CLOEXEC);
  } else if (pipe2(out, O_CLOEXEC) != 0) {
    std::abort();
  }
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    for (const auto& [name, value] : environment) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
}

ChildProcess::~ChildProcess() {
  int status = 0;
  if (pid_ > 0 && !WaitForExit(0, status)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  if (outFd_ != -1) close(outFd_);
  if (errFd_ != -1) close(errFd_);
}

void ChildProcess::Signal(int signal) const {
  if (pid_ > 0) kill(pid_, signal);  // never -1: that would signal every process
}

// Reads whatever output arrives within the time-out.
void ChildProcess::Collect(int timeoutMs) {
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (poll(fds, 2, timeoutMs) <= 0) return;
  if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) Drain(outFd_, output_);
  if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) Drain(errFd_, errors_);
}

bool ChildProcess::WaitForExit(int timeoutMs, int& status) {
  if (pid_ <= 0) return true;
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    Collect(10);
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      // What it wrote before it ended; bounded, should it have passed the
      // pipes on to a process of its own.
      const auto drained = Clock::now() + std::chrono::seconds(2);
      while ((outFd_ != -1 || errFd_ != -1) && Clock::now() < drained) Collect(100);
      return true;
    }
    if (Clock::now() >= until) return false;
  }
}

bool ChildProcess::WaitForOutput(const std::string& text, int timeoutMs) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (output_.find(text) == std::string::npos) {
    if (Clock::now() >= until || outFd_ == -1) return false;
    Collect(10);
  }
  return true;
}

bool ChildProcess::WaitForErrors(const std::string& text, int timeoutMs, std::size_t from) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (errors_.find(text, std::min(from, errors_.size())) == std::string::npos) {
    if (Clock::now() >= until || errFd_ == -1) return false;
    Collect(10);
  }
  return true;
}

bool ChildProcess::WaitForLines(std::size_t count, int timeoutMs) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::size_t(std::count(output_.begin(), output_.end(), '\n')) < count) {
    if (Clock::now() >= until || outFd_ == -1) return false;
    Collect(10);
  }
  return true;
}

void ChildProcess::CollectFor(int ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < until && (outFd_ != -1 || errFd_ != -1)) Collect(10);
}

Finished RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                  const Environment& environment, int timeoutMs, OutputTo outputTo) {
  ChildProcess child(program, arguments, environment, outputTo);
  int status = 0;
  Finished finished;
  if (child.WaitForExit(timeoutMs, status)) {
    finished.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  finished.output = child.Output();
  finished.errors = child.Errors();
  return finished;
}

}  // namespace testsupport
