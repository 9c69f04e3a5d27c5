// One line per figure of a benchmark: the figure, its value, its goal and
// whether the goal was met.
#pragma once

#include <cstdio>
#include <string>

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

}  // namespace bench
