// A GoogleTest fixture with a recording simulated unit on 127.0.0.1 and a
// port the kernel picks, for the tests that talk to a unit; and the reply of
// a plain KDT-212 for scripted peers.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "RecordingUnit.h"
#include "SimUnit.h"

namespace testsupport {

class UnitFixture : public ::testing::Test {
 protected:
  void StartUnit(sim::SimOptions options = {}) {
    options.port = 0;
    std::string error;
    unit_ = StartRecordingUnit(options, error);
    ASSERT_TRUE(unit_) << error;
  }

  std::unique_ptr<sim::SimUnit> unit_;
};

// The status reply of a KDT-212 with every relay on INPUT 1 and relay 1
// named `relay1Name`.
inline kdt::ReplyBytes Kdt212Reply(const std::string& relay1Name = {}) {
  kdt::UnitStatus status;
  status.model = kdt::kModelKdt212;
  status.state = {1, 1, 1};
  status.name[0] = relay1Name;
  return kdt::EncodeReply(status);
}

}  // namespace testsupport
