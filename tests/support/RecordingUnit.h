// A simulated unit for a test, recording every frame it receives, and what
// the test reads of that record. It listens where the options say.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "SimUnit.h"

namespace testsupport {

// Null, with the reason, when it cannot listen.
inline std::unique_ptr<sim::SimUnit> StartRecordingUnit(sim::SimOptions options, std::string& error,
                                                        sim::SimUnit::LogFn log = {}) {
  options.recordFrames = true;
  auto unit = std::make_unique<sim::SimUnit>(std::move(options), std::move(log));
  if (!unit->Start(error)) unit.reset();
  return unit;
}

// The frames of one command code that the unit received, in order.
inline std::vector<kdt::Frame> FramesWithCode(const sim::SimUnit& unit, std::uint8_t code) {
  std::vector<kdt::Frame> frames;
  for (const auto& f : unit.Frames()) {
    if (f.bytes.size() > 1 && f.bytes[1] == code) frames.push_back(f.bytes);
  }
  return frames;
}

}  // namespace testsupport
