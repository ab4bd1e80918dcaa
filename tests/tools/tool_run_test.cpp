// SPDX-License-Identifier: MIT
// The mixlink tool against mixsim over loopback, both run as programs of their own with no shell
// in between, so it runs the same on Windows (where tools_cli_test's POSIX shell is missing).
#include <gtest/gtest.h>
#include <mixlink/version.h>

#include <string>
#include <vector>

#include "sim_process.h"

namespace {

struct Outcome {
  int status;
  std::string out;
};

// Runs the tool; line ends as a text-mode stream on Windows writes them are read back as "\n".
Outcome tool(std::vector<std::string> args) {
  args.insert(args.begin(), MIXLINK_CLI);
  Outcome r{0, ""};
  r.status = mixtest::run_program(args, &r.out);
  for (size_t at = r.out.find("\r\n"); at != std::string::npos; at = r.out.find("\r\n", at)) r.out.erase(at, 1);
  return r;
}

int lines(const std::string& s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

TEST(ToolRun, TheToolReadsTheSimulatedConsole) {
  mixtest::SimProcess sim;
  ASSERT_TRUE(sim.ok()) << "mixsim did not come up on 127.0.0.1:2222";
  const std::vector<std::string> a = {"-a", "127.0.0.1", "--timeout", "5000"};
  auto with = [&](std::vector<std::string> rest) {
    rest.insert(rest.begin(), a.begin(), a.end());
    return rest;
  };

  Outcome r = tool(with({"get", "cfg.mon.1.eq.on", "$syscfg.consolename"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "cfg.mon.1.eq.on=1\tint\n$syscfg.consolename=Sim Console\tstring\n");

  r = tool(with({"dump", "ch.1", "--records"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out), 288);
  EXPECT_EQ(r.out.rfind("ch.1.", 0), 0u) << r.out.substr(0, 200);

  r = tool(with({"raw", "cfg.mon.1.eq.on"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("d7 f9 2f 43 80 ", 0), 0u) << r.out;

  // Meter datagrams over UDP: the collection id the tool subscribed with, then 120 bands.
  r = tool(with({"meters", "--count", "3"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out), 3);
  EXPECT_EQ(r.out.rfind("244\t00 00 00 03 ", 0), 0u) << r.out.substr(0, 200);
  r = tool(with({"meters", "--rta", "--count", "2"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find('\n'), 120u);  // one character per band

  EXPECT_EQ(tool(with({"get", "no.such.node"})).status, 1);
  EXPECT_EQ(tool({"frobnicate"}).status, 2);
  EXPECT_EQ(tool({"--version"}).out, "mixlink " MIXLINK_VERSION "\n");
}

}  // namespace
