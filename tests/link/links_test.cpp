// SPDX-License-Identifier: MIT
// Links: several consoles in one process, pipelined reads, a frozen console noticed in time,
// addresses as people write them, results in words.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <csignal>
#endif

#include <mixlink/mixlink.h>

#include "scripted_peer.h"
#include "sim_process.h"

namespace {

using mixtest::Bytes;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

uint32_t token(const char* path) { return wGetTokenFromName(path); }

void free_texts(std::vector<w_token_value>& records) {
  for (w_token_value& r : records)
    if (r.type == W_VALUE_STRING) std::free(r.value.s);
}

struct LinkDeleter {
  void operator()(w_link* l) const { wLinkFree(l); }
};
using LinkPtr = std::unique_ptr<w_link, LinkDeleter>;

// Everything one thread does with its own link to its own console; failures are counted, not
// asserted, so that the other thread runs on.
struct Session {
  std::string address;
  int failures = 0;
  std::string first_failure;

  void check(bool ok, const std::string& what) {
    if (ok) return;
    if (failures++ == 0) first_failure = what;
  }

  void run() {
    LinkPtr link(wLinkNew());
    check(link != nullptr, "wLinkNew");
    if (!link) return;
    std::string text = address;
    check(wLinkOpen(link.get(), text.data()) == W_SUCCESS, "open " + address);
    // Each thread its own diagnostics: nothing shared with the other link.
    check(wLinkSetDiagnostics(link.get(), [](void*, const char*) {}, nullptr) == W_SUCCESS, "diagnostics");
    // 300 leaves of the channel strips, pipelined: more than two windows.
    std::vector<uint32_t> tokens;
    for (uint32_t t = token("ch.1"); tokens.size() < 300; ++t)
      if (wGetType(t) != W_CONTAINER) tokens.push_back(t);
    for (int round = 0; round < 3; ++round) {
      std::vector<w_token_value> records(tokens.size());
      const int got = wLinkGetTokensTimed(link.get(), tokens.data(), static_cast<int>(tokens.size()), records.data(),
                                          5000000);
      check(got == static_cast<int>(tokens.size()), address + ": pipelined count " + std::to_string(got));
      for (size_t i = 0; i < tokens.size(); ++i) check(records[i].token == tokens[i], "record order");
      free_texts(records);
      char name[257] = "";
      check(wLinkGetTokenStringTimed(link.get(), token("ch.2.name"), name, 3000000) == 1 &&
                std::string(name) == "CH 2",
            address + ": single read");
      std::vector<w_token_value> strip(64);
      const int leaves = wLinkGetNodeToTVArrayTimed(link.get(), token("ch.1.eq"), strip.data(), 64, 3000000);
      check(leaves > 0, "container read");
      strip.resize(leaves > 0 ? leaves : 0);
      free_texts(strip);
      check(wLinkKeepAlive(link.get()) == W_SUCCESS, "keep-alive");
      check(wLinkAlive(link.get()) == W_SUCCESS, "alive");
    }
    check(wLinkClose(link.get()) == W_SUCCESS, "close");
  }
};

// Runs under ThreadSanitizer in the sanitizer build: the two links share nothing.
TEST(Links, TwoLinksToTwoConsolesRunOnTwoThreadsAtOnce) {
  // The second console on a port of its own as well: Windows (and Wine) will not bind a second
  // UDP socket to port 2222 at another loopback address.
  mixtest::SimProcess quick({"--bind", "127.0.0.2"});
  mixtest::SimProcess slow({"--bind", "127.0.0.3", "--port", "2224", "--latency", "50"});
  ASSERT_TRUE(quick.ok() && slow.ok()) << "mixsim on 127.0.0.2 and 127.0.0.3:2224";
  Session a{"127.0.0.2", 0, ""}, b{"127.0.0.3:2224", 0, ""};
  const Clock::time_point start = Clock::now();
  std::thread ta([&] { a.run(); });
  std::thread tb([&] { b.run(); });
  ta.join();
  tb.join();
  EXPECT_EQ(a.failures, 0) << a.first_failure;
  EXPECT_EQ(b.failures, 0) << b.first_failure;
  // The slow console's reads take about 3 x 4 round trips of 50 ms; the two run side by side.
  EXPECT_LT(seconds_since(start), 5.0);
  EXPECT_EQ(wTCPSocket(), W_NO_SOCKET) << "the default link was never touched";
}

// The pipelined read against a console that answers out of order, drops a request and puts
// events and stray bytes between its answers.
TEST(Links, PipelinedReadsMatchRepliesByHashInTheCallersOrder) {
  mixtest::ScriptedPeer peer(2223);
  ASSERT_TRUE(peer.ok());
  const uint32_t t[4] = {token("ch.1.fdr"), token("ch.2.name"), token("ch.3.mute"), token("ch.4.name")};
  const uint32_t event_token = token("ch.9.fdr");
  auto hash = [](uint32_t tk) { return wGetHashFromToken(tk); };
  unsigned char f[8];
  w_value v{};
  v.f = 0.5f;
  const int fl = wEncodeToken(0xD6, v, nullptr, 0, f, sizeof f);
  const Bytes fader(f, f + fl);
  unsigned char s4[8];
  const Bytes text4(s4, s4 + wEncodeString("CH 4", 4, s4));
  peer.reply(mixtest::escaped({0x01}), 8);  // the connect's keep-alive answer
  // Answers to ch.4.name, ch.3.mute (in that order), ch.1.fdr; none to ch.2.name; events and a
  // stray byte between; the last answer cut in two with a pause.
  const Bytes answers = mixtest::cat({mixtest::entry(hash(event_token), fader), mixtest::entry(hash(t[3]), text4),
                                      {0x42}, mixtest::entry(hash(t[2]), {0x01}),
                                      mixtest::entry(hash(event_token), {0xD5, 0x3F, 0x80, 0x00, 0x00}),
                                      mixtest::entry(hash(t[0]), fader)});
  mixtest::Reply r{mixtest::escaped(answers), 2 + 4 * 6, {answers.size() - 3}, 50, false};
  peer.push(r);

  LinkPtr link(wLinkNew());
  char address[] = "127.0.0.1:2223";
  ASSERT_EQ(wLinkOpen(link.get(), address), W_SUCCESS);
  ASSERT_EQ(wLinkAnswered(link.get()), 1);
  std::vector<w_token_value> records(4);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(wLinkGetTokensTimed(link.get(), t, 4, records.data(), 400000), 3);
  const double took = seconds_since(start);
  EXPECT_GE(took, 0.39);
  EXPECT_LT(took, 1.5);
  struct Want {
    uint32_t token;
    int type;
  };
  const Want want[4] = {{t[0], W_VALUE_FLOAT}, {0, 0}, {t[2], W_VALUE_INT}, {t[3], W_VALUE_STRING}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(records[static_cast<size_t>(i)].token, want[i].token) << i;
    EXPECT_EQ(records[static_cast<size_t>(i)].type, want[i].type) << i;
  }
  EXPECT_FLOAT_EQ(records[0].value.f, 0.5f);
  EXPECT_STREQ(records[3].value.s, "CH 4");
  free_texts(records);
  // The events stayed for their reader, in the order they came.
  w_token_value events[4];
  ASSERT_EQ(wLinkGetParsedEventsTimed(link.get(), events, 4, 200000), 2);
  EXPECT_EQ(events[0].token, event_token);
  EXPECT_EQ(events[1].token, event_token);
  EXPECT_FLOAT_EQ(events[1].value.f, 1.0f);
  // A console that answers nothing gets the first window of requests, no more and no fewer.
  std::vector<uint32_t> many;
  Bytes window;
  for (uint32_t tk = token("ch.1"); many.size() < 300; ++tk) {
    if (wGetType(tk) == W_CONTAINER) continue;
    if (many.size() < W_PIPELINE_WINDOW) {
      const uint32_t h = hash(tk);
      window = mixtest::cat({window, {0xD7, static_cast<unsigned char>(h >> 24), static_cast<unsigned char>(h >> 16),
                                      static_cast<unsigned char>(h >> 8), static_cast<unsigned char>(h), 0xDC}});
    }
    many.push_back(tk);
  }
  peer.clear_received();
  std::vector<w_token_value> none(many.size());
  EXPECT_EQ(wLinkGetTokensTimed(link.get(), many.data(), 300, none.data(), 300000), 0);
  EXPECT_EQ(peer.received(), mixtest::escaped(window));
  // Bad arguments get a defined result.
  EXPECT_EQ(wLinkGetTokensTimed(nullptr, t, 4, records.data(), 1), W_ERR_ARGUMENT);
  EXPECT_EQ(wLinkGetTokensTimed(link.get(), t, -1, records.data(), 1), W_ERR_ARGUMENT);
  EXPECT_EQ(wLinkGetTokensTimed(link.get(), nullptr, 0, nullptr, 1), 0);
}

TEST(Links, AddressesAsPeopleWriteThem) {
  mixtest::ScriptedPeer peer(2223);
  ASSERT_TRUE(peer.ok());
  struct Case {
    const char* address;
    int result;
  };
  const Case cases[] = {
      {"127.0.0.1:2223", W_SUCCESS}, {"localhost:2223", W_SUCCESS},     {"127.0.0.1:0", W_ERR_UNKNOWN_HOST},
      {"127.0.0.1:65536", W_ERR_UNKNOWN_HOST}, {"127.0.0.1:22x3", W_ERR_UNKNOWN_HOST}, {":2223", W_ERR_UNKNOWN_HOST},
      {"no-such-host.invalid", W_ERR_UNKNOWN_HOST}, {"127.0.0.1:2224", W_ERR_CONNECT},
  };
  LinkPtr link(wLinkNew());
  for (const Case& c : cases) {
    if (c.result == W_SUCCESS) peer.reply(mixtest::escaped({0x01}), 8);
    char text[64];
    std::snprintf(text, sizeof text, "%s", c.address);
    EXPECT_EQ(wLinkOpen(link.get(), text), c.result) << c.address;
    wLinkClose(link.get());
  }
  // The classic open keeps its rule: dotted IPv4 only, port 2222.
  char classic[] = "127.0.0.1:2223";
  EXPECT_EQ(wOpen(classic), W_ERR_CONNECT);
  wClose();
}

TEST(Links, EveryResultHasWordsThatFitItsNumber) {
  struct Case {
    int result;
    const char* words;
  };
  const Case cases[] = {
      {W_SUCCESS, "success"},         {7, "success"},
      {W_TIMED_OUT, "no reply"},      {W_ERR_NOT_VALUE, "wrong kind"},
      {W_ERR_NO_LINK, "no connection"}, {W_ERR_MALFORMED, "malformed"},
      {W_ERR_BAD_TOKEN, "out of range"}, {W_ERR_RECEIVE, "receive failed"},
      {W_ERR_SEND, "send failed"},     {W_ERR_NO_CONSOLE, "no console"},
      {W_ERR_CONNECT, "connect failed"}, {W_ERR_METER_PORT, "meter port"},
      {W_ERR_NO_MEMORY, "memory"},     {W_ERR_TOO_BIG, "larger"},
      {W_ERR_UNKNOWN_PATH, "no such node"}, {W_ERR_UNKNOWN_HOST, "no such host"},
      {W_ERR_LOST, "stopped answering"}, {W_ERR_ARGUMENT, "invalid"},
      {-1000, "unknown result"},
  };
  for (const Case& c : cases) EXPECT_NE(std::string(wResultText(c.result)).find(c.words), std::string::npos) << c.result;
}

#ifndef _WIN32
// A console whose process is stopped keeps its sockets open and answers nothing: the link says so
// within the silence limit and the one probe before it, and a new connection into its listen
// backlog does not count as an answer.
TEST(Links, AFrozenConsoleIsNoticedWithinTheBound) {
  mixtest::SimProcess sim({"--bind", "127.0.0.2"});
  ASSERT_TRUE(sim.ok());
  LinkPtr link(wLinkNew());
  char address[] = "127.0.0.2";
  ASSERT_EQ(wLinkOpen(link.get(), address), W_SUCCESS);
  ASSERT_EQ(wLinkAnswered(link.get()), 1);
  // A live console stays alive however long it is quiet, also when the last command went to the
  // meter channel and with it every later keep-alive, which the console does not answer there.
  ASSERT_EQ(wLinkMeterUDPPort(link.get(), 10031), W_SUCCESS);
  unsigned char rta_only[32] = {};
  rta_only[18] = 0x80;
  ASSERT_EQ(wLinkSetMetersRequest(link.get(), 3, rta_only), W_SUCCESS);
  const Clock::time_point quiet = Clock::now();
  while (seconds_since(quiet) < 4.5) {
    ASSERT_EQ(wLinkKeepAlive(link.get()), W_SUCCESS);
    ASSERT_EQ(wLinkAlive(link.get()), W_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(sim.pid(), SIGSTOP);
  const Clock::time_point frozen = Clock::now();
  int alive = W_SUCCESS;
  while (alive == W_SUCCESS && seconds_since(frozen) < 10) {
    wLinkKeepAlive(link.get());
    alive = wLinkAlive(link.get());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const double noticed = seconds_since(frozen);
  EXPECT_EQ(alive, W_ERR_LOST);
  EXPECT_GE(noticed, W_LINK_SILENCE_MS / 1000.0);
  EXPECT_LT(noticed, W_LINK_SILENCE_MS / 1000.0 + 1.0 + 1.0) << "the silence limit, a second before asking, margin";
  std::printf("frozen console noticed after %.2f s\n", noticed);
  // Reconnecting to it: the kernel takes the connection, the console never answers on it.
  ASSERT_EQ(wLinkOpen(link.get(), address), W_SUCCESS);
  EXPECT_EQ(wLinkAnswered(link.get()), 0);
  kill(sim.pid(), SIGCONT);
  const Clock::time_point thawed = Clock::now();
  while (wLinkAnswered(link.get()) != 1 && seconds_since(thawed) < 3) {
    wLinkAlive(link.get());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(wLinkAnswered(link.get()), 1) << "the thawed console answers the waiting connection";
}
#endif

}  // namespace
