// A program run by a test as a process of its own, its standard output and
// error collected as they come, ended with the test (SIGKILL if still
// running). The child also ends should the test process die.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Variables added to the test's own environment; an empty value removes one.
using Environment = std::vector<std::pair<std::string, std::string>>;

// Where a child's standard output goes: a pipe, or a pseudo-terminal, for
// what a program does only on a terminal (colour).
enum class OutputTo { kPipe, kTerminal };

class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const Environment& environment = {}, OutputTo outputTo = OutputTo::kPipe);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  void Signal(int signal) const;
  // Waits for the process to end, collecting its output; false when it is
  // still running after the time-out. `status` is waitpid's.
  bool WaitForExit(int timeoutMs, int& status);
  // Waits until the output, or the standard error, holds `text`, at most the
  // time-out; `from` is where to look from.
  bool WaitForOutput(const std::string& text, int timeoutMs);
  bool WaitForErrors(const std::string& text, int timeoutMs, std::size_t from = 0);
  // Waits until the output holds `count` whole lines, at most the time-out.
  bool WaitForLines(std::size_t count, int timeoutMs);
  // Collects what the process writes for the whole time: what a test counts
  // afterwards is all it wrote by then.
  void CollectFor(int ms);

  const std::string& Output() const { return output_; }
  const std::string& Errors() const { return errors_; }

 private:
  void Collect(int timeoutMs);

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string output_;
  std::string errors_;
};

// Runs a program to its end: its exit code (128 + the signal that ended it),
// standard output and standard error. -1 when it did not end in time.
struct Finished {
  int exitCode = -1;
  std::string output;
  std::string errors;
};
Finished RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                  const Environment& environment = {}, int timeoutMs = 20000,
                  OutputTo outputTo = OutputTo::kPipe);

}  // namespace testsupport
