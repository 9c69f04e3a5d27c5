// A unit behind the real kdt212-bridge with every face it has: the unit's
// endpoint (LISTEN), MQTT on the real broker with a hub of the test's own,
// and the page's interface; for tests of what every door of the bridge must
// do alike.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "BridgeFixture.h"
#include "Broker.h"
#include "HttpPeer.h"
#include "MqttProbe.h"

namespace testsupport {

class EveryFaceTest : public ::testing::Test {
 protected:
  // `panel`: a front panel command for the unit before the bridge starts.
  void StartEveryFace(const std::string& panel = "") {
    std::string error;
    sim::SimOptions options;
    options.port = 0;
    unit_ = StartRecordingUnit(options, error);
    ASSERT_TRUE(unit_) << error;
    if (!panel.empty()) {
      std::string reply;
      ASSERT_TRUE(sim::RunPanelCommand(*unit_, panel, reply)) << reply;
    }
    hub_ = std::make_unique<MqttProbe>(broker_.Port());
    ASSERT_TRUE(hub_->Connected());
    hub_->Subscribe("kdt212/studio/#");
    listen_ = FreeLoopbackPort();
    page_ = FreeLoopbackPort();
    bridge_ = std::make_unique<BridgeProcess>(
        UnitSection("studio", unit_->Port(), listen_) +
        "[MQTT]\nPORT=" + std::to_string(broker_.Port()) +
        "\nDISCOVERY=\n[HTTP]\nLISTEN=127.0.0.1:" + std::to_string(page_) + "\n");
    // The bridge subscribes to its commands before it publishes the unit: a
    // command published before then would reach nobody.
    ASSERT_TRUE(hub_->WaitFor("kdt212/studio/status", "online")) << bridge_->Log();
  }

  HttpAnswer Page(const std::string& method, const std::string& path,
                  const std::string& body = "") {
    HttpPeer peer(page_);
    return peer.Exchange(HttpRequestText(method, path, {"Content-Type: application/json"}, body));
  }

  std::unique_ptr<sim::SimUnit> unit_;
  Broker broker_;
  std::unique_ptr<MqttProbe> hub_;
  int listen_ = 0, page_ = 0;
  std::unique_ptr<BridgeProcess> bridge_;
};

}  // namespace testsupport
