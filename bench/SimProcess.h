// The simulated unit as a child process of a benchmark, on the given address
// (127.0.0.1 unless given) and port, with its front-panel console on a
// pipe. Ended with the object.
#pragma once

#include <sys/types.h>

#include <string>

namespace bench {

class SimProcess {
 public:
  explicit SimProcess(int port, const std::string& address = "127.0.0.1");
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // A line on the unit's front-panel console.
  void Command(const std::string& line);
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int console_ = -1;
};

// A blocking connection to the unit, with TCP_NODELAY; retries while the unit
// is starting and exits the program when it never listens.
int ConnectBlocking(int port, const std::string& address = "127.0.0.1");

}  // namespace bench
