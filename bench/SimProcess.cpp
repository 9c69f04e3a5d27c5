#include "SimProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace bench {

SimProcess::SimProcess(int port, const std::string& address) {
  int in[2];
  if (pipe(in) != 0) std::abort();
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the benchmark
    dup2(in[0], STDIN_FILENO);
    close(in[1]);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    std::string portText = std::to_string(port);
    execl(KDT_SIM_PATH, "kdt212-sim", "--address", address.c_str(), "--port", portText.c_str(),
          nullptr);
    _exit(127);
  }
  close(in[0]);
  console_ = in[1];
}

SimProcess::~SimProcess() {
  close(console_);
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

void SimProcess::Command(const std::string& line) {
  std::string text = line + "\n";
  if (write(console_, text.data(), text.size()) != ssize_t(text.size())) std::abort();
}

int ConnectBlocking(int port, const std::string& address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  for (int attempt = 0; attempt < 200; ++attempt) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the unit is starting
  }
  std::fprintf(stderr, "the simulated unit did not start\n");
  std::exit(2);
}

}  // namespace bench
