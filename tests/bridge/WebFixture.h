// What the tests of the bridge's HTTP interface share: the real
// kdt212-bridge between two simulated units (studio and hall) and its page,
// with a users file when a test gives users, and a client of the test's own.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BridgeFixture.h"
#include "HttpPeer.h"
#include "web/Users.h"

namespace testsupport {

inline QJsonObject Json(const std::string& body) {
  return QJsonDocument::fromJson(QByteArray::fromStdString(body)).object();
}

inline const std::vector<std::string> kJson = {"Content-Type: application/json"};

class WebTest : public UnitFixture {
 protected:
  // Two units, studio and hall, in that order in the file, and the page;
  // `users` ("NAME:ROLE:PASSWORD" each) makes a users file; `more` follows
  // [HTTP]'s lines: keys of its own, or sections.
  void StartWeb(const std::vector<std::string>& users = {}, const std::string& more = "",
                std::vector<std::string> arguments = {"--verbose"},
                std::vector<std::string> wrapper = {}) {
    StartUnit();
    std::string error;
    sim::SimOptions options;
    options.port = 0;
    hall_ = StartRecordingUnit(options, error);
    ASSERT_TRUE(hall_) << error;
    port_ = FreeLoopbackPort();
    config_ = UnitSection("studio", unit_->Port(), 0, studioMore_) +
              UnitSection("hall", hall_->Port()) +
              "[HTTP]\nLISTEN=127.0.0.1:" + std::to_string(port_) + "\n";
    if (!users.empty()) config_ += "USERS=" + WriteUsers(users) + "\n";
    config_ += more;
    bridge_ = std::make_unique<BridgeProcess>(config_, arguments, wrapper);
    ASSERT_TRUE(bridge_->WaitForLog("page: http://127.0.0.1:" + std::to_string(port_)))
        << bridge_->Log();
    ASSERT_TRUE(bridge_->WaitForLog("studio: connected to")) << bridge_->Log();
    ASSERT_TRUE(bridge_->WaitForLog("hall: connected to")) << bridge_->Log();
  }

  // Each password's hash made once, so that a file written again keeps it.
  std::string WriteUsers(const std::vector<std::string>& users) {
    usersFile_ = "/tmp/kdt-users-" + std::to_string(getpid()) + "-" + std::to_string(port_);
    std::ofstream file(usersFile_);
    for (const std::string& user : users) {
      const std::size_t first = user.find(':'), second = user.find(':', first + 1);
      const std::string password = user.substr(second + 1);
      std::string& hash = hashes_[user.substr(0, first) + ":" + password];
      if (hash.empty()) hash = bridge::HashPassword(password);
      file << user.substr(0, second) << ":" << hash << "\n";
    }
    file.close();
    chmod(usersFile_.c_str(), 0640);
    return usersFile_;
  }

  void TearDown() override {
    if (!usersFile_.empty()) std::remove(usersFile_.c_str());
  }

  HttpAnswer Get(const std::string& path, const std::string& cookie = "") {
    HttpPeer peer(port_);
    return peer.Exchange(HttpRequestText(
        "GET", path,
        cookie.empty() ? std::vector<std::string>{} : std::vector{"Cookie: " + cookie}));
  }
  HttpAnswer Post(const std::string& path, const std::string& body, const std::string& cookie = "",
                  std::vector<std::string> headers = kJson) {
    if (!cookie.empty()) headers.push_back("Cookie: " + cookie);
    HttpPeer peer(port_);
    return peer.Exchange(HttpRequestText("POST", path, headers, body));
  }
  // The session's cookie of a login, as "kdt212_session=…".
  std::string LogIn(const std::string& user, const std::string& password) {
    const HttpAnswer answer =
        Post("/api/login", "{\"user\":\"" + user + "\",\"password\":\"" + password + "\"}");
    EXPECT_EQ(answer.status, 200) << answer.body;
    const std::string cookie = answer.Header("set-cookie");
    return cookie.substr(0, cookie.find(';'));
  }
  void Panel(sim::SimUnit& unit, const std::string& line) {
    std::string reply;
    ASSERT_TRUE(sim::RunPanelCommand(unit, line, reply)) << reply;
  }

  std::unique_ptr<sim::SimUnit> hall_;
  std::string studioMore_;  // more keys of [UNIT studio], set before StartWeb
  int port_ = 0;
  std::string config_, usersFile_;
  std::map<std::string, std::string> hashes_;
  std::unique_ptr<BridgeProcess> bridge_;
};

}  // namespace testsupport
