// kdt212ctl's command line, read without running anything.
#include "Options.h"

#include <gtest/gtest.h>

namespace {

struct Case {
  std::vector<std::string> arguments;
  bool taken;
  std::string problem;  // the start of it, when refused
};

TEST(Options, BoundsAndArgumentCounts) {
  const Case cases[] = {
      {{"--port", "1", "status"}, true, ""},
      {{"--port", "65535", "status"}, true, ""},
      {{"--port", "0", "status"}, false, "--port takes a port number from 1 to 65535, not '0'"},
      {{"--port", "65536", "status"}, false, "--port takes a port number from 1 to 65535"},
      {{"--port", "10001x", "status"}, false, "--port takes a port number"},
      {{"set", "A", "2"}, true, ""},
      {{"set", "A", "2", "1"}, false, "set: takes 2 arguments"},
      {{"is", "A", "2", "x"}, false, "is: takes 2 arguments"},
      {{"status", "now"}, false, "status: takes 0 arguments"},
      {{"watch", "--wait"}, true, ""},
      {{"--wait", "status"}, false, "--wait goes with watch only"},
      {{"--timeout", "3600", "status"}, true, ""},
      {{"--timeout", "3600.5", "status"}, false, "--timeout takes seconds"},
      {{"--timeout", "0", "status"}, false, "--timeout takes seconds"},
  };
  for (const Case& c : cases) {
    cli::Options options;
    std::string problem;
    std::string line;
    for (const std::string& word : c.arguments) line += word + " ";
    EXPECT_EQ(cli::ParseOptions(c.arguments, options, problem), c.taken) << line << problem;
    EXPECT_EQ(problem.substr(0, c.problem.size()), c.problem) << line;
  }
}

TEST(Options, ValuesAsGiven) {
  cli::Options options;
  std::string problem;
  ASSERT_TRUE(cli::ParseOptions({"--port", "65535", "-t", "0.25", "watch", "--wait", "--json"},
                                options, problem))
      << problem;
  EXPECT_EQ(options.port, 65535);
  EXPECT_EQ(options.timeoutMs, 250u);
  EXPECT_EQ(options.command, cli::Command::kWatch);
  EXPECT_TRUE(options.wait);
  EXPECT_TRUE(options.json);
  ASSERT_TRUE(cli::ParseOptions({"name", "c", "--", "-Studio", "2"}, options = {}, problem));
  EXPECT_EQ(options.relays, std::vector<int>{1});
  EXPECT_EQ(options.text, "-Studio 2");
}

}  // namespace
