// The real MQTT broker (Debian's mosquitto) for a test: on 127.0.0.1 and a
// free port, with a configuration generated in a temporary folder, never the
// system's service; stopped with the test. It can be stopped and started
// again on the same port, keeps nothing across (persistence off), and can
// ask for a password or speak TLS with a certificate of a CA made by
// openssl for the test. Its log is mosquitto.log in its folder.
#pragma once

#include <memory>
#include <string>

#include "ChildProcess.h"

namespace testsupport {

struct BrokerOptions {
  std::string user;      // set: anonymous clients are refused
  std::string password;  // the user's
  bool tls = false;      // the CA's certificate: Broker::CaFile()
};

class Broker {
 public:
  explicit Broker(BrokerOptions options = {});
  ~Broker();
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  int Port() const { return port_; }
  const std::string& Folder() const { return folder_; }
  std::string CaFile() const { return folder_ + "/ca.crt"; }
  // A CA that did not sign the broker's certificate.
  std::string OtherCaFile() const { return folder_ + "/other-ca.crt"; }
  void Stop();
  // Starts it (again) and waits until it listens; false when it does not.
  bool Start();

 private:
  void MakeCertificates() const;

  BrokerOptions options_;
  std::string folder_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace testsupport
