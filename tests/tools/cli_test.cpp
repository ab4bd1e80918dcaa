// SPDX-License-Identifier: MIT
// The mixlink tool end to end: the built binary against mixsim on loopback (always -a 127.0.0.1,
// so nothing is ever broadcast).
#include <mixlink/mixlink.h>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <ctime>
#include <string>
#include <thread>

#include "json_check.h"
#include "scripted_peer.h"
#include "sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Outcome {
  int status;
  std::string out;
  std::string err;
  double seconds;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs the tool with args (a shell fragment, which may pipe the tool's output on) and returns its
// exit status, stdout, stderr and how long it ran. With a pipe, the status is the tool's own.
Outcome run(const std::string& args, const std::string& pipe_to = "") {
  const std::string err_file = testing::TempDir() + "mixlink_cli_err";
  const std::string status_file = testing::TempDir() + "mixlink_cli_status";
  std::remove(status_file.c_str());
  // A hung command fails the test instead of stalling it.
  const std::string tool = "timeout 30 " + std::string(MIXLINK_CLI) + " " + args + " 2>" + err_file;
  const std::string cmd = pipe_to.empty() ? tool : "{ " + tool + "; echo $? >" + status_file + "; } | " + pipe_to;
  Outcome r{-1, "", "", 0};
  const auto t0 = Clock::now();
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = pclose(p);
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  if (!pipe_to.empty()) r.status = std::atoi(slurp(status_file).c_str());
  r.err = slurp(err_file);
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

  // Both spellings of an option; a usage error is one line that says where the help is.
  const Outcome version = run("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("mixlink ") + MIXLINK_VERSION + "\n");
  EXPECT_EQ(run("nodes --timeout=100 --address=127.0.0.1 cfg.mon.1.eq.on").status, 0);
  struct Case {
    const char* args;
    const char* err;
  } errors[] = {
      {"get --frob", "mixlink: unknown option --frob (try 'mixlink get --help')\n"},
      {"--frob get x", "mixlink: unknown option --frob (try 'mixlink --help')\n"},
      {"events --count=0", "mixlink: --count takes a whole number from 1 to 1000000000, not '0' (try 'mixlink events --help')\n"},
      {"dump --json=yes cfg", "mixlink: --json takes no value (try 'mixlink dump --help')\n"},
      {"meters --record=", "mixlink: --record needs FILE (try 'mixlink meters --help')\n"},
  };
  for (const Case& c : errors) {
    const Outcome r = run(c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(Cli, NodesListsDictionaryRowsOffline) {
  const Outcome r = run("nodes cfg.mon.1.eq");
  const uint32_t eq = wGetTokenFromName("cfg.mon.1.eq");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out), static_cast<int>(wNodeSubtreeEnd(eq) - eq));  // the container and its leaves
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), std::to_string(eq) + "\td1ff5641\tcontainer\tcfg.mon.1.eq");
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
  // The dictionary is local: a path that names no node fails before anything is asked.
  EXPECT_EQ(run("-a 127.0.0.9 get ch.9.nme ''").err,
            "mixlink: ch.9.nme: no such node\nmixlink: an empty path names no node\n");

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
  EXPECT_TRUE(tooltest::JsonCheck::valid(r.out)) << r.out;
  EXPECT_NE(r.out.find("\"$stat.A.stat\": "), std::string::npos) << r.out;

  r = run(a + "raw cfg.mon.1.eq.on");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("d7 f9 2f 43 80 ", 0), 0u) << r.out;

  r = run(a + "def cfg.mon.1.eq.on");
  EXPECT_EQ(r.status, 0) << "definitions may be off in the simulator";
}

// ---- What a console can do to the tool ----

const mixtest::Bytes kConnect{0xDF, 0xD1, 0xD7, 0xC9, 0xCB, 0x20, 0xE0, 0xDC};
constexpr size_t kRequest = 8;  // the select that follows connecting, 0xD7, the hash, the code

mixtest::Bytes text_token(const std::string& s) {
  unsigned char out[300];
  const int n = wEncodeString(s.data(), static_cast<int>(s.size()), out);
  return mixtest::Bytes(out, out + n);
}

// A peer that answers the tool's connect at once, then `reply` once `after` more bytes came.
void script(mixtest::ScriptedPeer& peer, const mixtest::Bytes& reply, size_t after = kRequest) {
  peer.reply(mixtest::escaped(mixtest::entry(mixlink::kKeepAliveHash, {0x01})), kConnect.size());
  if (!reply.empty()) peer.reply(mixtest::escaped(reply), after);
}

// Tabs, newlines, a screen clear, DEL, a backslash, a C1 control, a Latin-1 byte.
const std::string kHostileText = "a\tb\nc\x1b[2J\x7f\\\xc2\x9b\xe9ok";
const std::string kHostileShown = "a\\x09b\\x0ac\\x1b[2J\\x7f\\\\\\xc2\\x9b\\xe9ok";

bool one_clean_line_per_record(const std::string& out, int records) {
  for (unsigned char c : out)
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) return false;
  return lines(out) == records;
}

TEST(Cli, ConsoleTextCannotReachTheTerminalOrBreakARecordOrTheJson) {
  mixtest::ScriptedPeer peer;
  ASSERT_TRUE(peer.ok());
  const std::string a = "-a 127.0.0.1 --timeout 2000 ";

  script(peer, mixtest::entry(wGetHash(wGetTokenFromName("ch.1.name")), text_token(kHostileText)));
  Outcome r = run(a + "get ch.1.name");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ch.1.name=" + kHostileShown + "\tstring\n");

  // Every leaf of a container a hostile text, but its float leaves -30.
  const uint32_t eq = wGetTokenFromName("cfg.mon.1.eq");
  const int leaves = wNodeLeafCount(eq);
  mixtest::Bytes reply;
  for (uint32_t t = eq + 1; t < wNodeSubtreeEnd(eq); ++t) {
    if (wGetType(t) == W_FLOAT) reply = mixtest::cat({reply, mixtest::entry(wGetHash(t), {0xD5, 0xC1, 0xF0, 0x00, 0x00})});
    else if (wGetType(t) >= 1) reply = mixtest::cat({reply, mixtest::entry(wGetHash(t), text_token(kHostileText))});
  }
  reply.push_back(0xDE);
  struct Case {
    const char* options;
    int records;
    const char* shows;
  } cases[] = {
      {"", 1, "=-30,"},
      {" --records", leaves, "\tfloat\t-30\n"},
      {" --json", leaves + 2, ": -30.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    script(peer, reply);
    r = run(a + "dump cfg.mon.1.eq" + c.options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(one_clean_line_per_record(r.out, c.records)) << r.out;
    EXPECT_NE(r.out.find(c.shows), std::string::npos) << r.out;
    if (std::string(c.options) == " --json") {
      EXPECT_TRUE(tooltest::JsonCheck::valid(r.out)) << r.out;
    } else {
      EXPECT_NE(r.out.find(kHostileShown), std::string::npos) << r.out;
    }
  }

  // Events come after the keep-alive the event loop sends first.
  script(peer, mixtest::cat({mixtest::entry(wGetHash(wGetTokenFromName("ch.1.name")), text_token(kHostileText)),
                             mixtest::entry(wGetHash(wGetTokenFromName("cfg.mon.1.$lvl")), {0xD5, 0xC1, 0xF0, 0x00, 0x00})}),
         6);
  r = run(a + "events --count 2");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ch.1.name=" + kHostileShown + "\tstring\ncfg.mon.1.$lvl=-30\tfloat\n");
}

TEST(Cli, EveryCommandFailsWithinItsTimeOutWhenTheReplyIsMissingOrCut) {
  mixtest::ScriptedPeer peer;
  ASSERT_TRUE(peer.ok());
  const std::string a = "-a 127.0.0.1 --timeout 400 ";
  for (const char* command : {"get ch.1.fdr", "get ch.1.fdr ch.1.mute", "dump ch.1", "dump ch.1 --json", "def ch.1",
                              "raw ch.1"}) {
    SCOPED_TRACE(command);
    // Nothing scripted: the console accepts and never answers, not even the keep-alive.
    const Outcome r = run(a + command);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("within 400 ms"), std::string::npos) << r.err;
    EXPECT_GE(r.seconds, 0.4 - 0.01);
    EXPECT_LT(r.seconds, 0.4 + 0.3) << "connecting and the keep-alive's wait are within the time-out";
  }
  // The console closes in the middle of a reply: a raw read of it is no success.
  const uint32_t ch1 = wGetTokenFromName("ch.1");
  mixtest::Bytes half;
  for (uint32_t t = ch1 + 1; t < ch1 + 40; ++t)
    if (wGetType(t) >= 1) half = mixtest::cat({half, mixtest::entry(wGetHash(t), {0x01})});
  for (const char* command : {"raw ch.1", "dump ch.1", "dump ch.1 --records"}) {
    SCOPED_TRACE(command);
    peer.reply(mixtest::escaped(mixtest::entry(mixlink::kKeepAliveHash, {0x01})), kConnect.size());
    peer.push(mixtest::Reply{mixtest::escaped(half), kRequest, {}, 0, true});
    const Outcome r = run("-a 127.0.0.1 " + std::string(command));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.err.find("stopped after"), std::string::npos) << r.err;
  }
}

// Every line on standard error is the tool's own: a console that closes the connection is said
// to have closed it, once, and a listener that never answers is no console.
TEST(Cli, AClosedConnectionIsSaidOnceAndASilentListenerIsNoConsole) {
  mixtest::ScriptedPeer peer;
  ASSERT_TRUE(peer.ok());
  script(peer, {});
  peer.close_after(kRequest);
  Outcome r = run("-a 127.0.0.1 --timeout 300 get ch.1.fdr ch.1.mute ch.1.name");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "mixlink: the console closed the connection\n");

  script(peer, {});  // accepts, answers the connect, then nothing
  r = run("-a 127.0.0.1 --timeout 300 discover");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "") << "an address is named only when a console answered there";
  EXPECT_EQ(r.err, "mixlink: 127.0.0.1 accepts connections but no console answered within 300 ms\n");
}

TEST(Cli, EventsAndMetersEndQuietlyWhenTheReaderGoesAndSayWhenTheConsoleDoes) {
  for (const char* command : {"events", "meters"}) {
    SCOPED_TRACE(command);
    mixtest::SimProcess sim({"--animate"});
    if (!mixtest::sim_executable()[0]) GTEST_SKIP() << "mixsim is not built";
    ASSERT_TRUE(sim.ok());
    Outcome r = run("-a 127.0.0.1 " + std::string(command), "head -n 3");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out), 3);
    EXPECT_EQ(r.err, "");
    // The console goes away a second in: the tool says so and ends, without spinning meanwhile.
    std::thread stop([&] {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      sim.stop();
    });
    r = run("-a 127.0.0.1 " + std::string(command) + " >/dev/null");
    stop.join();
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(r.seconds, 1 + 7.0);
    EXPECT_NE(r.err.find("console"), std::string::npos) << r.err;
  }
  // A write that fails otherwise (a full disk) is no success.
  mixtest::SimProcess sim({"--animate"});
  ASSERT_TRUE(sim.ok());
  for (const char* command : {"events --count 3", "meters --count 3", "nodes"}) {
    const Outcome r = run("-a 127.0.0.1 " + std::string(command) + " >/dev/full");
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_NE(r.err.find("cannot write the output"), std::string::npos) << command << ": " << r.err;
  }
}

// A console that stops answering with its sockets open: frozen by SIGSTOP a second in, one that
// ignores the keep-alive's read, and a listener that accepts and never answers.
TEST(Cli, EventsAndMetersSayWhenTheConsoleStopsAnswering) {
  if (!mixtest::sim_executable()[0]) GTEST_SKIP() << "mixsim is not built";
  struct Case {
    const char* console;
    const char* command;
  };
  const Case cases[] = {{"frozen", "events"},          {"frozen", "meters"},
                        {"ignores keep-alive", "events --count 1"}, {"never answers", "events --count 1"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.console) + ": " + c.command);
    std::unique_ptr<mixtest::SimProcess> sim;
    std::unique_ptr<mixtest::ScriptedPeer> peer;
    double frozen_after = 0;
    if (std::string(c.console) == "never answers") {
      peer = std::make_unique<mixtest::ScriptedPeer>();
      ASSERT_TRUE(peer->ok());
    } else {
      sim = std::make_unique<mixtest::SimProcess>(std::string(c.console) == "frozen"
                                                      ? std::vector<std::string>{}
                                                      : std::vector<std::string>{"--ignore-keepalive"});
      ASSERT_TRUE(sim->ok());
    }
    std::thread freeze;
    if (std::string(c.console) == "frozen") {
      frozen_after = 1;
      freeze = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        kill(sim->pid(), SIGSTOP);
      });
    }
    const Outcome r = run("-a 127.0.0.1 " + std::string(c.command) + " >/dev/null");
    if (freeze.joinable()) freeze.join();
    if (sim) kill(sim->pid(), SIGCONT);
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(r.seconds, frozen_after + 6.0);
    EXPECT_NE(r.err.find("the console stopped answering"), std::string::npos) << r.err;
  }
}

TEST(Cli, EventsAndMetersStopAfterTheirCount) {
  // Datagrams longer than the RTA block's 244 bytes come whole.
  mixtest::SimProcess sim({"--animate", "--long-meters"});
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
  EXPECT_EQ(r.out.rfind("320\t", 0), 0u) << r.out.substr(0, 20);
  // One character per RTA bar, one line per datagram; as wide as COLUMNS says, bands merged.
  for (const auto& [columns, width] : {std::pair{"", 120u}, {"COLUMNS=80 ", 80u}, {"COLUMNS=500 ", 120u}}) {
    const std::string env = columns;
    FILE* p = popen(("env " + (env.empty() ? std::string("-u COLUMNS ") : env) + MIXLINK_CLI +
                     " -a 127.0.0.1 meters --rta --count 2").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[512] = "";
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    pclose(p);
    EXPECT_EQ(std::string(line).find('\n'), width) << columns;
  }
}

// --for bounds events and meters in time; patterns keep the paths that match; --json gives one
// object a line with path, value, type and time.
TEST(Cli, EventsAndMetersRunForTheirTimeAndEventsFilterAndStamp) {
  mixtest::SimProcess sim({"--animate"});
  if (!mixtest::sim_executable()[0]) GTEST_SKIP() << "mixsim is not built";
  ASSERT_TRUE(sim.ok());
  for (const char* command : {"events --for 1.5", "meters --for 1.5"}) {
    const Outcome r = run(std::string("-a 127.0.0.1 ") + command);
    EXPECT_EQ(r.status, 0) << command << ": " << r.err;
    EXPECT_GT(lines(r.out), 5) << command;
    EXPECT_GE(r.seconds, 1.5) << command;
    EXPECT_LT(r.seconds, 1.5 + 1.5) << command << ": the connect and a busy machine";
  }
  const double before = static_cast<double>(std::time(nullptr));
  const Outcome r = run("-a 127.0.0.1 events 'CH.1.M*' 'nothing.[' --for 2.5 --json");
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_GE(lines(r.out), 2) << "ch.1.mute toggles each second";
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    EXPECT_TRUE(tooltest::JsonCheck::valid(line)) << line;
    EXPECT_EQ(line.rfind("{\"path\": \"ch.1.mute\", \"value\": ", 0), 0u) << line;
    EXPECT_NE(line.find(", \"type\": \"int\", \"time\": "), std::string::npos) << line;
    const double t = std::stod(line.substr(line.find("\"time\": ") + 8));
    EXPECT_GE(t, before - 1);
    EXPECT_LE(t, before + 10);
  }
  EXPECT_EQ(run("events --for 0").status, 2);
  EXPECT_EQ(run("meters --for soon").status, 2);
}

// A recording made with --record reads back with --replay --csv: one line per datagram, its
// time since the first and the 120 values; no console is needed for that.
TEST(Cli, MetersRecordAndReplayAsCsv) {
  mixtest::SimProcess sim(std::vector<std::string>{});
  if (!mixtest::sim_executable()[0]) GTEST_SKIP() << "mixsim is not built";
  ASSERT_TRUE(sim.ok());
  const std::string file = testing::TempDir() + "mixlink_cli_meters.pcap";
  Outcome r = run("-a 127.0.0.1 meters --count 5 --record " + file);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "") << "recorded, not printed";
  sim.stop();
  r = run("meters --replay " + file + " --csv");
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(lines(r.out), 5);
  std::istringstream in(r.out);
  std::string line;
  double last = -1;
  while (std::getline(in, line)) {
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 120) << line;
    const double t = std::stod(line);
    EXPECT_GT(t, last);
    last = t;
  }
  EXPECT_EQ(r.out.substr(0, 9), "0.000000,");
  EXPECT_EQ(run("meters --replay " + file).status, 2) << "CSV is the one form of a replay";
  // A replay that matches no datagram says what the recording holds, and fails.
  r = run("meters --replay " + file + " --csv --port 10027");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("no RTA datagram to port 10027; it holds RTA datagrams to port 10026"), std::string::npos) << r.err;
  EXPECT_EQ(run("meters --replay /dev/null --csv").status, 1);
}

}  // namespace
