// SPDX-License-Identifier: MIT
// The container reply walks over replies built from the dictionary: no console.
#include <mixlink/dictionary.h>
#include <mixlink/nodes.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "dump_reader.h"

namespace {

using Bytes = std::vector<unsigned char>;

void put_entry(Bytes& out, uint32_t hash, const Bytes& value) {
  out.push_back(0xD7);
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<unsigned char>(hash >> s));
  out.insert(out.end(), value.begin(), value.end());
}

// The console's reply to a read of token: an entry per leaf below it, then the closing byte.
Bytes reply_for(uint32_t token, const Bytes& value = {0x01}) {
  Bytes out;
  for (uint32_t t = token; t < wNodeSubtreeEnd(token); ++t)
    if (wGetType(t) >= 1) put_entry(out, wGetHash(t), value);
  out.push_back(0xDE);
  return out;
}

std::vector<std::string> leaves_of(uint32_t token) {
  std::vector<std::string> out;
  for (uint32_t t = token; t < wNodeSubtreeEnd(token); ++t)
    if (wGetType(t) >= 1) out.emplace_back(wGetName(t));
  return out;
}

TEST(SubtreeShape, LeafCountsComeFromTheRowsBelowAContainer) {
  struct Case { const char* path; int leaves; uint32_t rows; };
  const Case cases[] = {{"ch", 11520, 13281}, {"ch.1", 288, 332}, {"$stat", 23, 27}, {"cfg", 194, 211},
                        {"io", 6054, 7042}, {"$ctl", 8155, 10176}, {"cfg.mon.1.eq.on", 1, 1}};
  for (const auto& c : cases) {
    const uint32_t t = wGetTokenFromName(c.path);
    ASSERT_NE(t, 0u) << c.path;
    EXPECT_EQ(wNodeLeafCount(t), c.leaves) << c.path;
    EXPECT_EQ(wNodeSubtreeEnd(t) - t, c.rows) << c.path;
  }
  EXPECT_EQ(wNodeLeafCount(wds_imax), 0);
  EXPECT_EQ(wNodeSubtreeEnd(wds_imax - 1), static_cast<uint32_t>(wds_imax));
}

TEST(ReplyWalk, EveryContainersDumpReadsBackToItsLeaves) {
  std::vector<char> text(12 * 1024 * 1024);
  int containers = 0;
  for (uint32_t t = 1; t < static_cast<uint32_t>(wds_imax); ++t) {
    if (wGetType(t) != 0) continue;
    ++containers;
    const Bytes reply = reply_for(t);
    w_dump dump;
    ASSERT_EQ(wDumpStart(&dump, wGetName(t), text.data(), text.size()), 1);
    ASSERT_EQ(wReplyToDump(reply.data(), static_cast<int>(reply.size()), &dump), wNodeLeafCount(t));
    ASSERT_EQ(wDumpFinish(&dump), 1);
    ASSERT_EQ(nodetest::read_dump_paths(wGetName(t), text.data()), leaves_of(t)) << wGetName(t);
  }
  EXPECT_GT(containers, 4000);
}

TEST(ReplyWalk, RecordsCarryTokensInLeafOrderAndTheTokensOwnValueType) {
  const uint32_t eq = wGetTokenFromName("cfg.mon.1.eq");
  const Bytes reply = reply_for(eq, {0x82, 'a', 'b', 'c'});
  std::vector<w_token_value> recs(64);
  const int n = wReplyToTVArray(reply.data(), static_cast<int>(reply.size()), recs.data(), 64);
  ASSERT_EQ(n, wNodeLeafCount(eq));
  uint32_t expect = eq;
  for (int i = 0; i < n; ++i) {
    while (wGetType(expect) < 1) ++expect;
    EXPECT_EQ(recs[i].token, expect++);
    EXPECT_EQ(recs[i].type, W_VALUE_STRING);
    EXPECT_STREQ(recs[i].value.s, "abc");
    std::free(recs[i].value.s);
  }
}

TEST(ReplyWalk, MalformedRepliesFailWithoutReadingPastTheData) {
  const uint32_t on = wGetTokenFromName("cfg.mon.1.eq.on");
  const uint32_t lsg = wGetTokenFromName("cfg.mon.1.eq.lsg");
  Bytes good;
  put_entry(good, wGetHash(on), {0x82, 'x', 'y', 'z'});
  struct Case { const char* what; Bytes reply; };
  std::vector<Case> cases;
  { Bytes b = good; b.push_back(0x11); b.push_back(0x22); cases.push_back({"a byte that is not 0xD7", b}); }
  { Bytes b = good; put_entry(b, 0x12345678, {0x01}); cases.push_back({"a hash of no node", b}); }
  { Bytes b = good; put_entry(b, wGetHash(wGetTokenFromName("cfg")), {0x01}); cases.push_back({"a container's hash", b}); }
  { Bytes b = good; put_entry(b, wGetHash(lsg), {0xD4, 0x00, 0x01}); cases.push_back({"a cut-off value", b}); }
  { Bytes b = good; put_entry(b, wGetHash(lsg), {}); b.pop_back(); cases.push_back({"a cut-off hash", b}); }
  for (auto& c : cases) {
    std::vector<w_token_value> recs(4);
    EXPECT_EQ(wReplyToTVArray(c.reply.data(), static_cast<int>(c.reply.size()), recs.data(), 4), -2) << c.what;
    EXPECT_EQ(recs[0].value.s, nullptr) << c.what << ": the text filled before the fault is released";
    char text[256];
    w_dump dump;
    wDumpStart(&dump, "cfg.mon.1.eq", text, sizeof text);
    EXPECT_EQ(wReplyToDump(c.reply.data(), static_cast<int>(c.reply.size()), &dump), -2) << c.what;
    EXPECT_STREQ(text, ".on=xyz,") << c.what;
  }
}

TEST(ReplyWalk, ALargeTextGetsTheSameDumpAndStateAsEntryByEntryComposition) {
  // With room to spare the walk writes entries straight into the text; it must leave exactly
  // what composing entry by entry leaves, also when a bad entry stops it part way.
  const uint32_t ch1 = wGetTokenFromName("ch.1");
  const Bytes values[] = {{0x05}, {0x45}, {0xD5, 0x42, 0x28, 0, 0}, {0xD6, 0xC1, 0x20, 0, 0}, {0x82, 'a', 'b', 'c'},
                          {0xD0}, {0xD2, 0xFF, 0x00}, {0xD4, 0x00, 0x01, 0x00, 0x00}, {0xD8}, {0xD9, 0x80}};
  Bytes reply;
  std::vector<std::pair<uint32_t, std::string>> expected;  // leaf, value text
  std::vector<size_t> starts;                               // where each entry begins
  int i = 0;
  for (uint32_t t = ch1; t < wNodeSubtreeEnd(ch1); ++t) {
    if (wGetType(t) < 1) continue;
    const Bytes& v = values[i++ % 10];
    starts.push_back(reply.size());
    put_entry(reply, wGetHash(t), v);
    char text[W_VALUE_TEXT_SIZE];
    wParseToNode(nullptr, v.data(), 0, text, static_cast<int>(v.size()));
    expected.emplace_back(t, text);
  }
  for (const size_t good : {expected.size(), size_t{200}, size_t{1}}) {
    Bytes bytes(reply);
    if (good < expected.size()) {  // entry `good` ends the reply with its value cut off
      bytes.resize(starts[good]);
      put_entry(bytes, wGetHash(expected[good].first), {0xD4, 0x01});
    } else {
      bytes.push_back(0xDE);
    }
    std::vector<char> fast(1 << 20), slow(1 << 20);
    w_dump a, b;
    wDumpStart(&a, "ch.1", fast.data(), fast.size());
    wDumpStart(&b, "ch.1", slow.data(), slow.size());
    for (size_t e = 0; e < good; ++e) ASSERT_EQ(wDumpAppend(&b, wGetName(expected[e].first), expected[e].second.c_str()), 1);
    EXPECT_EQ(wReplyToDump(bytes.data(), static_cast<int>(bytes.size()), &a), good < expected.size() ? -2 : static_cast<int>(good));
    EXPECT_STREQ(fast.data(), slow.data()) << good;
    EXPECT_EQ(a.length, b.length) << good;
    EXPECT_STREQ(a.previous, b.previous) << good;
    EXPECT_EQ(a.depth, b.depth) << good;
  }
}

TEST(ReplyWalk, TooFewRecordsOrTooSmallATextFailsClearly) {
  const Bytes reply = reply_for(wGetTokenFromName("cfg.mon.1.eq"), {0x80, 'q'});
  std::vector<w_token_value> recs(5);
  EXPECT_EQ(wReplyToTVArray(reply.data(), static_cast<int>(reply.size()), recs.data(), 5), -10);
  char text[40];
  w_dump dump;
  wDumpStart(&dump, "cfg.mon.1.eq", text, sizeof text);
  EXPECT_EQ(wReplyToDump(reply.data(), static_cast<int>(reply.size()), &dump), -10);
  EXPECT_LT(std::string(text).size(), sizeof text);
}

TEST(ReplyWalk, AnUnknownValueCodeShowsAnEmptyValueButEndsTheRecords) {
  Bytes reply;
  put_entry(reply, wGetHash(wGetTokenFromName("cfg.mon.1.eq.on")), {0xE0});
  put_entry(reply, wGetHash(wGetTokenFromName("cfg.mon.1.eq.lsg")), {0x05});
  reply.push_back(0xDE);
  char text[128];
  w_dump dump;
  wDumpStart(&dump, "cfg.mon.1.eq", text, sizeof text);
  EXPECT_EQ(wReplyToDump(reply.data(), static_cast<int>(reply.size()), &dump), 2);
  EXPECT_STREQ(text, ".on=lsg=5,");
  std::vector<w_token_value> recs(4);
  EXPECT_EQ(wReplyToTVArray(reply.data(), static_cast<int>(reply.size()), recs.data(), 4), 0);
  int end = 0;
  EXPECT_EQ(wCountReplyEntries(reply.data(), static_cast<int>(reply.size()), 10, &end), 2);
  EXPECT_EQ(end, static_cast<int>(reply.size()) - 1);
}

TEST(ReplyWalk, CountingStopsAtTheLastWholeEntry) {
  const Bytes reply = reply_for(wGetTokenFromName("cfg.mon.1.eq"), {0xD5, 0x3F, 0x80, 0, 0});
  for (size_t cut = 0; cut <= reply.size(); ++cut) {
    int end = -1;
    const int n = wCountReplyEntries(reply.data(), static_cast<int>(cut), 1000, &end);
    EXPECT_EQ(n, static_cast<int>(cut / 10)) << cut;
    EXPECT_EQ(end, n * 10) << cut;
  }
}

}  // namespace
