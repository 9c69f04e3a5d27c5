#include "Broker.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Loopback.h"
#include "TcpSockets.h"

namespace testsupport {
namespace {

constexpr int kStartMs = 10000;

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) std::abort();
}

}  // namespace

Broker::Broker(BrokerOptions options) : options_(std::move(options)) {
  char pattern[] = "/tmp/kdt-broker-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  folder_ = pattern;
  port_ = FreeLoopbackPort();
  std::ofstream config(folder_ + "/mosquitto.conf");
  // Its log goes to a file of its own: a pipe that nobody reads would fill
  // and hold the broker up.
  config << "listener " << port_ << " 127.0.0.1\n"
         << "persistence false\n"
         << "log_type all\nlog_dest file " << folder_ << "/mosquitto.log\n";
  // Run by root, the broker would become the user mosquitto, who may not
  // read this folder.
  if (geteuid() == 0) config << "user root\n";
  if (options_.user.empty()) {
    config << "allow_anonymous true\n";
  } else {
    config << "allow_anonymous false\npassword_file " << folder_ << "/passwords\n";
    Run("mosquitto_passwd -b -c " + folder_ + "/passwords '" + options_.user + "' '" +
        options_.password + "' >/dev/null");
  }
  if (options_.tls) {
    MakeCertificates();
    config << "cafile " << CaFile() << "\ncertfile " << folder_ << "/broker.crt\nkeyfile "
           << folder_ << "/broker.key\n";
  }
  config.close();
  if (!Start()) std::abort();
}

Broker::~Broker() {
  Stop();
  std::filesystem::remove_all(folder_);
}

// A CA, the broker's certificate for 127.0.0.1 signed by it, and another CA.
void Broker::MakeCertificates() const {
  const std::string in = "cd " + folder_ + " && ";
  const std::string quiet = " >/dev/null 2>&1";
  Run(in +
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test-ca -keyout ca.key "
      "-out ca.crt" +
      quiet);
  Run(in +
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=other-ca -keyout "
      "other-ca.key -out other-ca.crt" +
      quiet);
  Run(in +
      "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout broker.key "
      "-out broker.csr" +
      quiet);
  Run(in +
      "printf 'subjectAltName=IP:127.0.0.1\\n' > san.cnf && openssl x509 -req -in "
      "broker.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile san.cnf -out "
      "broker.crt" +
      quiet);
}

void Broker::Stop() {
  process_.reset();
}

bool Broker::Start() {
  process_ = std::make_unique<ChildProcess>(
      "/usr/sbin/mosquitto", std::vector<std::string>{"-c", folder_ + "/mosquitto.conf"});
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kStartMs)) {
    tcp::Socket s = tcp::kInvalidSocket;
    const bool listening = tcp::SockOpen(s) && tcp::SockConnectTimeout(s, kLoopback, port_, 1000);
    tcp::SockShutdownClose(s);
    if (listening) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace testsupport
