// SPDX-License-Identifier: MIT
// Container and raw reads over real sockets: against mixsim and against a scripted peer.
#include <mixlink/mixlink.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "dump_reader.h"
#include "link/wire.h"
#include "scripted_peer.h"
#include "sim_process.h"

namespace {

std::vector<std::string> leaves_of(uint32_t token) {
  std::vector<std::string> out;
  for (uint32_t t = token; t < wNodeSubtreeEnd(token); ++t)
    if (wGetType(t) >= 1) out.emplace_back(wGetName(t));
  return out;
}

// A connection to a simulator started with args, closed at the end of the scope.
struct Console {
  mixtest::SimProcess sim;
  bool open = false;
  explicit Console(std::vector<std::string> args = {}) : sim(std::move(args)) {
    char address[32] = "127.0.0.1";
    open = sim.ok() && wOpen(address) == 1;
  }
  ~Console() {
    if (open) wClose();
  }
};

#define REQUIRE_CONSOLE(c)                                            \
  if (!mixtest::sim_executable()[0]) GTEST_SKIP() << "mixsim is not built"; \
  ASSERT_TRUE((c).open) << "no connection to mixsim"

std::string dump_of(const char* path, int* result) {
  const uint32_t t = wGetTokenFromName(path);
  std::vector<char> text(static_cast<size_t>(wNodeLeafCount(t)) * 300 + 16);
  *result = wGetNode(t, text.data(), text.size());
  return text.data();
}

TEST(ContainerReads, EveryContainerDumpReadsBackToTheDictionarysLeaves) {
  Console c;
  REQUIRE_CONSOLE(c);
  std::vector<char> text(4 * 1024 * 1024);
  int containers = 0;
  for (uint32_t t = 1; t < static_cast<uint32_t>(wds_imax); ++t) {
    if (wGetType(t) != W_CONTAINER) continue;
    ++containers;
    ASSERT_EQ(wGetNode(t, text.data(), text.size()), 1) << wGetName(t);
    ASSERT_EQ(nodetest::read_dump_paths(wGetName(t), text.data()), leaves_of(t)) << wGetName(t);
  }
  EXPECT_GT(containers, 4000);
}

TEST(ContainerReads, RecordsForOneChannelAndForTheWholeFamily) {
  Console c;
  REQUIRE_CONSOLE(c);
  for (const char* path : {"ch.1", "ch"}) {
    const uint32_t t = wGetTokenFromName(path);
    const int leaves = wNodeLeafCount(t);
    std::vector<w_token_value> recs(static_cast<size_t>(leaves));
    ASSERT_EQ(wGetNodeToTVArray(t, recs.data(), leaves), leaves) << path;
    const auto expect = leaves_of(t);
    for (int i = 0; i < leaves; ++i) {
      EXPECT_EQ(wGetName(recs[i].token), expect[i]) << path;
      if (recs[i].type == W_VALUE_STRING) std::free(recs[i].value.s);
    }
  }
  // Too small an array is refused before anything is sent; the next read still works.
  std::vector<w_token_value> few(10);
  EXPECT_EQ(wGetNodeToTVArray(wGetTokenFromName("ch.1"), few.data(), 10), -10);
  int r = 0;
  EXPECT_FALSE(dump_of("cfg.mon.1.eq", &r).empty());
  EXPECT_EQ(r, 1);
}

TEST(ContainerReads, LeavesAndOutOfRangeTokensAreRefusedUntouched) {
  Console c;
  REQUIRE_CONSOLE(c);
  char text[16] = "untouched";
  w_token_value rec[1];
  for (uint32_t t : {wGetTokenFromName("cfg.mon.1.eq.on"), static_cast<uint32_t>(wds_imax)}) {
    EXPECT_EQ(wGetNode(t, text, sizeof text), -1);
    EXPECT_EQ(wGetNodeToTVArray(t, rec, 1), -1);
  }
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(wGetBinaryNode(wds_imax, reinterpret_cast<unsigned char*>(text), sizeof text), -1);
  EXPECT_EQ(wGetBinaryData("no.such.node", reinterpret_cast<unsigned char*>(text), sizeof text), -13);
  // A dump larger than the text fails clearly, and the connection stays usable.
  std::vector<char> small(64);
  EXPECT_EQ(wGetNode(wGetTokenFromName("ch.1"), small.data(), small.size()), -10);
  int r = 0;
  dump_of("$stat", &r);
  EXPECT_EQ(r, 1);
}

TEST(ContainerReads, RepliesSplitIntoSmallSegmentsAreReadWhole) {
  std::string whole_eq, whole_ch1;
  {
    Console c;
    REQUIRE_CONSOLE(c);
    int r = 0;
    whole_eq = dump_of("cfg.mon.1.eq", &r);
    whole_ch1 = dump_of("ch.1", &r);
  }
  struct Case { const char* split; const char* path; const std::string* whole; };
  const Case cases[] = {{"1", "cfg.mon.1.eq", &whole_eq}, {"7", "ch.1", &whole_ch1},
                        {"7", "cfg.mon.1.eq", &whole_eq}};
  for (const auto& k : cases) {
    Console c({"--split", k.split});
    REQUIRE_CONSOLE(c);
    int r = 0;
    EXPECT_EQ(dump_of(k.path, &r), *k.whole) << "split " << k.split << " " << k.path;
    EXPECT_EQ(r, 1);
    // The reply's closing byte was taken too: a second read starts clean.
    EXPECT_EQ(dump_of(k.path, &r), *k.whole) << "second read, split " << k.split;
  }
}

TEST(RawReads, ForeignTrafficBeforeTheReplyIsSkipped) {
  Console c({"--garbage"});
  REQUIRE_CONSOLE(c);
  const uint32_t cfg = wGetTokenFromName("cfg");
  const uint32_t first = wGetHash(wGetTokenFromName("cfg.mainlink"));  // cfg's first leaf
  std::vector<unsigned char> buf(4096);
  for (int round = 0; round < 3; ++round) {
    const int n = wGetBinaryNode(cfg, buf.data(), static_cast<int>(buf.size()));
    ASSERT_GT(n, 5);
    EXPECT_EQ(buf[0], 0xD7);
    EXPECT_EQ(mixlink::wire::entry_hash(buf.data()), first);
    int end = 0;
    EXPECT_EQ(wCountReplyEntries(buf.data(), n, 1000, &end), wNodeLeafCount(cfg));
  }
  const int n = wGetBinaryData("CFG.MON.1.EQ.ON", buf.data(), static_cast<int>(buf.size()));
  ASSERT_GT(n, 5);
  EXPECT_EQ(wGetTokenFromHash(mixlink::wire::entry_hash(buf.data())),
            wGetTokenFromName("cfg.mon.1.eq.on"));
}

// Connects the library to the scripted console peer on loopback.
void connect_to(const mixtest::ScriptedPeer& peer) {
  ASSERT_TRUE(peer.ok());
  char address[32] = "127.0.0.1";
  ASSERT_EQ(wOpen(address), 1);
}

TEST(ContainerReads, AReplyThatStopsShortFailsAfterABoundedWait) {
  mixtest::ScriptedPeer peer;
  ASSERT_NO_FATAL_FAILURE(connect_to(peer));
  const uint32_t eq = wGetTokenFromName("cfg.mon.1.eq");
  mixtest::Bytes part;
  for (uint32_t t = eq + 1; t < eq + 4; ++t) part = mixtest::cat({part, mixtest::entry(wGetHash(t), {0x01})});
  // After the 8 connect bytes (select, keep-alive) and the 6 of the read request.
  peer.reply(mixtest::escaped(part), 14);
  std::vector<char> text(4096);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(wGetNode(eq, text.data(), text.size()), -2);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(nodetest::read_dump_paths("cfg.mon.1.eq", text.data()).size(), 3u);
  wClose();
}

// A console that keeps sending events but never answers must not hold a container read for
// ever, nor make it keep every foreign byte.
TEST(ContainerReads, EndlessForeignTrafficWithoutAReplyGivesUp) {
  mixtest::ScriptedPeer peer;
  ASSERT_NO_FATAL_FAILURE(connect_to(peer));
  const uint32_t fader = wGetTokenFromName("ch.1.fdr");
  const mixtest::Bytes event = mixtest::entry(wGetHash(fader), {0x05});
  mixtest::Bytes stream;
  for (int i = 0; i < 1500; ++i) stream.insert(stream.end(), event.begin(), event.end());
  // Three seconds of events, one every 2 ms.
  mixtest::Reply r{mixtest::escaped(stream), 14, std::vector<std::size_t>(1499, event.size()), 2, false};
  peer.push(r);
  std::vector<w_token_value> records(64);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(wGetNodeToTVArray(wGetTokenFromName("cfg.mon.1.eq"), records.data(), 64), -2);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  wClose();
}

}  // namespace
