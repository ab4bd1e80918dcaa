// The mixlink tool end to end: the built binary against mixsim on loopback (always -a 127.0.0.1,
// so nothing is ever broadcast).
#include <mixlink/mixlink.h>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "sim_process.h"

namespace {

struct Outcome {
  int status;
  std::string out;
};

// Runs the tool with args (a shell fragment) and returns its exit status and stdout.
Outcome run(const std::string& args) {
  // A hung command fails the test instead of stalling it.
  const std::string cmd = "timeout 30 " + std::string(MIXLINK_CLI) + " " + args + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  Outcome r{-1, ""};
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

int lines(const std::string& s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

TEST(Cli, UsageErrorsAndHelpNeedNoConsole) {
  const std::string cmds[] = {"discover", "get", "dump", "def", "raw", "events", "meters", "nodes"};
  for (const auto& c : cmds) {
    const Outcome r = run(c + " --help");
    EXPECT_EQ(r.status, 0) << c;
    EXPECT_NE(r.out.find("usage: mixlink"), std::string::npos) << c;
  }
  EXPECT_EQ(run("").status, 2);
  EXPECT_EQ(run("frobnicate").status, 2);
  EXPECT_EQ(run("-a 127.0.0.1 get").status, 2);
  EXPECT_EQ(run("-a 127.0.0.1 get cfg --timeout x").status, 2);
  EXPECT_EQ(run("-a 127.0.0.1 dump cfg --records --json").status, 2);
  EXPECT_EQ(run("-a 127.0.0.1 events --count 0").status, 2);
  EXPECT_EQ(run("-a 127.0.0.1 dump no.such.node").status, 1);
}

TEST(Cli, NodesListsDictionaryRowsOffline) {
  const Outcome r = run("nodes cfg.mon.1.eq");
  const uint32_t eq = wGetTokenFromName("cfg.mon.1.eq");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out), static_cast<int>(wNodeSubtreeEnd(eq) - eq));  // the container and its leaves
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), std::to_string(eq) + "\td1ff5641\tnode\tcfg.mon.1.eq");
  EXPECT_NE(r.out.find("\tf92f4380\tint\tcfg.mon.1.eq.on\n"), std::string::npos);
  EXPECT_EQ(lines(run("nodes").out), wds_imax - 1);
  EXPECT_EQ(run("nodes zzz").status, 1);
}

TEST(Cli, ReadsAgainstTheSimulatedConsole) {
  mixtest::SimProcess sim;
  if (!mixtest::sim_executable()[0]) GTEST_SKIP() << "mixsim is not built";
  ASSERT_TRUE(sim.ok());
  const std::string a = "-a 127.0.0.1 ";

  EXPECT_EQ(run(a + "discover").out, "127.0.0.1\n");

  Outcome r = run(a + "get cfg.mon.1.eq.on cfg.mon.1.\\$lvl --timeout 2000");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out), 2);
  EXPECT_EQ(r.out.rfind("cfg.mon.1.eq.on=", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\tfloat\n"), std::string::npos) << r.out;
  EXPECT_EQ(run(a + "get cfg").status, 1);  // a container has no single value

  r = run(a + "dump cfg.mon.1.eq");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind(".on=", 0), 0u) << r.out;
  EXPECT_EQ(lines(r.out), 1);

  r = run(a + "dump ch.1 --records");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out), 288);
  EXPECT_EQ(r.out.rfind("ch.1.", 0), 0u);

  r = run(a + "dump \\$stat --json");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.front(), '{');
  EXPECT_NE(r.out.find("\"$stat.A.stat\": "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");

  r = run(a + "raw cfg.mon.1.eq.on");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("d7 f9 2f 43 80 ", 0), 0u) << r.out;

  r = run(a + "def cfg.mon.1.eq.on");
  EXPECT_EQ(r.status, 0) << "definitions may be off in the simulator";
}

TEST(Cli, EventsAndMetersStopAfterTheirCount) {
  mixtest::SimProcess sim({"--animate"});
  if (!mixtest::sim_executable()[0]) GTEST_SKIP() << "mixsim is not built";
  ASSERT_TRUE(sim.ok());
  const std::string a = "-a 127.0.0.1 ";
  Outcome r = run(a + "events --count 3");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out), 3);
  EXPECT_NE(r.out.find('='), std::string::npos);

  r = run(a + "meters --count 2");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out), 2);
  r = run(a + "meters --rta --count 2 | cat");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(lines(r.out), 2);
  EXPECT_EQ(r.out.find('\n'), 120u);  // one character per RTA bar, one line per datagram
}

}  // namespace
