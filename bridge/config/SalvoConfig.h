// A salvo of the bridge's file ([SALVO id]): relays of the bridge's units
// and the input each takes, together, with a label to show. Free of Qt.
#pragma once

#include <string>
#include <vector>

#include "config/Section.h"

namespace bridge {

struct SalvoStep {
  std::string unit;
  int relay = 0;  // 1 to 3
  int input = 0;  // 1 or 2
  int line = 0;   // for messages; it does not count
  bool operator==(const SalvoStep& other) const {
    return unit == other.unit && relay == other.relay && input == other.input;
  }
};

struct SalvoConfig {
  std::string id{};
  std::string label{};  // empty: the id is shown
  std::vector<SalvoStep> steps;
  int line = 0;
  bool operator==(const SalvoConfig& other) const {
    return id == other.id && label == other.label && steps == other.steps;
  }
  // What people see of it: its label, or its id.
  const std::string& Shown() const { return label.empty() ? id : label; }
};

// "[SALVO evening]"; false with the fault in the checker. Whether each unit
// it names is one of the file's is known only once the file is read.
bool ReadSalvo(const SectionView& section, Checker& checker, SalvoConfig& salvo);

}  // namespace bridge
