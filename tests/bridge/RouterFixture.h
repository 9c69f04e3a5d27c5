// What the tests of the router faces share: the bridge of the page's tests
// (studio and hall, the page), with studio's 9990 text face and SW-P-08
// face on ports of their own, and clients of both protocols from any
// address of 127.0.0.0/8.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "RouterPeers.h"
#include "WebFixture.h"

namespace testsupport {

constexpr const char* kOtherHost = "127.0.0.2";

class RouterTest : public WebTest {
 protected:
  // `more`: more keys of [UNIT studio]; `users` and `after` as StartWeb's.
  void StartRouters(const std::string& more = "", const std::vector<std::string>& users = {},
                    const std::string& after = "") {
    hubPort_ = FreeLoopbackPort();
    swp08Port_ = FreeLoopbackPort();
    studioMore_ = RouterKeys() + more;
    StartWeb(users, after);
    ASSERT_TRUE(bridge_->WaitForLog("studio: videohub on")) << bridge_->Log();
    ASSERT_TRUE(bridge_->WaitForLog("studio: swp08 on")) << bridge_->Log();
  }
  std::string RouterKeys() const {
    return "VIDEOHUB=127.0.0.1:" + std::to_string(hubPort_) +
           "\nSWP08=127.0.0.1:" + std::to_string(swp08Port_) + "\n";
  }
  // The file with other keys for studio: for a reload.
  std::string ConfigWith(const std::string& more) const {
    std::string config = config_;
    config.replace(config.find(studioMore_), studioMore_.size(), RouterKeys() + more);
    return config;
  }
  void Reload(const std::string& more) {
    bridge_->Mark();
    bridge_->Rewrite(ConfigWith(more));
    bridge_->Process().Signal(SIGHUP);
    ASSERT_TRUE(bridge_->WaitForLog("reloading")) << bridge_->Log();
  }

  // A 9990 client whose first dump has been read.
  std::unique_ptr<VideohubPeer> HubClient(const char* from = kLoopback) {
    auto hub = std::make_unique<VideohubPeer>(hubPort_, from);
    EXPECT_TRUE(hub->Connected());
    EXPECT_EQ(hub->Dump().size(), 6u);
    return hub;
  }
  std::unique_ptr<Swp08Peer> Swp08Client(const char* from = kLoopback) {
    auto panel = std::make_unique<Swp08Peer>(swp08Port_, from);
    EXPECT_TRUE(panel->Connected());
    return panel;
  }

  int hubPort_ = 0;
  int swp08Port_ = 0;
};

}  // namespace testsupport
