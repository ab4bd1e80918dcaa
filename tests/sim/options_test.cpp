// SPDX-License-Identifier: MIT
// mixsim's command line: whole numbers as whole numbers, both option spellings, clear refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "sim_process.h"

using mixsim::options;
using mixsim::parse_options;
using mixsim::parse_outcome;

namespace {

parse_outcome parse(std::vector<const char*> args, options& o) {
  args.insert(args.begin(), "mixsim");
  return parse_options(static_cast<int>(args.size()), args.data(), o);
}

TEST(SimOptions, NumbersAreReadWholeAndInRangeInEitherSpelling) {
  struct Case {
    std::vector<const char*> args;
    bool runs;
    const char* error_part;  // for a refusal: a piece of its message
  } cases[] = {
      {{"--port", "2223"}, true, ""},
      {{"--port=2223", "--seed=7", "--rate=2.5", "--queue-limit=65536"}, true, ""},
      {{"--port", "2222.9"}, false, "--port takes a whole number from 1 to 65535, not '2222.9'"},
      {{"--seed", "1e3"}, false, "--seed takes a whole number"},
      {{"--rate", "1e3"}, false, "--rate takes a number from 0.1 to 1000"},
      {{"--rate", "nan"}, false, "--rate"},
      {{"--port", "70000"}, false, "--port"},
      {{"--port", " 80"}, false, "--port"},
      {{"--port="}, false, "--port"},
      {{"--port"}, false, "--port needs a value"},
      {{"--close-after-bytes", "1000000000000"}, true, ""},
      {{"--quiet=yes"}, false, "--quiet takes no value"},
      {{"--definitions=sideways"}, false, "short, long or mixed"},
      {{"--bind", "localhost"}, false, "--bind takes an IPv4 address"},
      {{"-port", "2222"}, false, "unknown option -port"},
      {{"--feedback=83", "--feedback-growth", "400"}, true, ""},
      {{"--feedback", "120"}, false, "--feedback takes a whole number from 0 to 119"},
  };
  for (const Case& c : cases) {
    options o;
    const parse_outcome r = parse(c.args, o);
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(r.action, c.runs ? parse_outcome::run : parse_outcome::usage_error) << r.text;
    if (!c.runs) {
      EXPECT_NE(r.text.find(c.error_part), std::string::npos) << r.text;
    }
  }
  options o;
  ASSERT_EQ(parse({"--port=2223", "--seed", "7", "--rate=2.5", "--close-after-bytes=1000000000000"}, o).action,
            parse_outcome::run);
  EXPECT_EQ(o.port, 2223);
  EXPECT_EQ(o.seed, 7u);
  EXPECT_EQ(o.rate, 2.5);
  EXPECT_EQ(o.close_after_bytes, 1000000000000LL);
}

TEST(SimOptions, UsageErrorsExitTwoAndVersionAndHelpExitZero) {
  struct Case {
    std::vector<std::string> args;
    int status;
  } cases[] = {{{"--port", "2222.9"}, 2}, {{"--bogus"}, 2}, {{"--version"}, 0}, {{"--help"}, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::vector<std::string> argv = {mixtest::sim_executable()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(mixtest::run_program(argv), c.status);
  }
  EXPECT_EQ(mixsim::version_line().rfind("mixsim ", 0), 0u);
}

}  // namespace
