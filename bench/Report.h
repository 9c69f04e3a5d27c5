// One line per figure of a benchmark: the figure, its value, its goal and
// whether the goal was met.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline bool Report(const char* figure, const std::string& value, const char* goal, bool met) {
  std::printf("%-58s %-30s goal %-12s %s\n", figure, value.c_str(), goal, met ? "met" : "missed");
  std::fflush(stdout);
  return met;
}

inline std::string Format(const char* format, double a, double b = 0, double c = 0) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

// The value below which the share `p` of the values lie; a figure that
// cannot be met when there are none.
inline double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 1e9;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, std::size_t(p * double(values.size() - 1) + 0.5))];
}

}  // namespace bench
