// SPDX-License-Identifier: MIT
// mixsim's reading of a client's framed stream: the same requests however TCP splits the bytes.
#include <gtest/gtest.h>

#include <mixlink/link.h>

#include <random>
#include <string>
#include <vector>

#include "stream.h"

using mixsim::client_stream;
using mixsim::sim_feed;
using mixsim::sim_request;
using Bytes = std::vector<unsigned char>;

namespace {

// A request rendered as text so that whole results compare in one expectation.
std::string describe(const sim_request& r) {
  char b[64];
  switch (r.kind) {
    case sim_request::value: std::snprintf(b, sizeof b, "value %08X", r.hash); return b;
    case sim_request::definition: std::snprintf(b, sizeof b, "def %08X", r.hash); return b;
    case sim_request::map_size: return "map";
    case sim_request::meter_port: return "port " + std::to_string(r.port);
    case sim_request::renew: return "renew " + std::to_string(r.id);
    case sim_request::subscribe: {
      std::string s = "sub " + std::to_string(r.id);
      for (const auto& [g, i] : r.items) {
        std::snprintf(b, sizeof b, " %02X/%d", g, i);
        s += b;
      }
      return s;
    }
  }
  return "?";
}

std::vector<std::string> feed_in_pieces(const Bytes& in, const std::vector<size_t>& cuts, long* dropped = nullptr) {
  client_stream st;
  std::vector<sim_request> out;
  size_t at = 0;
  for (size_t cut : cuts) {
    sim_feed(st, in.data() + at, static_cast<int>(cut - at), out);
    at = cut;
  }
  sim_feed(st, in.data() + at, static_cast<int>(in.size() - at), out);
  std::vector<std::string> text;
  for (const auto& r : out) text.push_back(describe(r));
  if (dropped != nullptr) *dropped = st.dropped;
  return text;
}

struct StreamCase {
  const char* name;
  Bytes wire;
  std::vector<std::string> expected;
};

const std::vector<StreamCase>& cases() {
  static const std::vector<StreamCase> all = {
      {"connect select and keep-alive",
       {0xDF, 0xD1, 0xD7, 0xC9, 0xCB, 0x20, 0xE0, 0xDC},
       {"value C9CB20E0"}},
      {"definition request", {0xD7, 0x01, 0x02, 0x03, 0x04, 0xDD}, {"def 01020304"}},
      {"map-size query sent raw", {0xDF, 0xD1, 0xDA, 0xDC}, {"map"}},
      {"the analyzer's meter sequence",
       {0xDF, 0xD3, 0xD3, 0x27, 0x2A, 0xDF, 0xD1,                                 // meter port, raw
        0xDF, 0xD3, 0xD4, 0x00, 0x00, 0x00, 0x03, 0xDC, 0xAA, 0x00, 0xDE, 0xDF, 0xDE, 0xD1,  // subscription
        0xD4, 0x00, 0x00, 0x00, 0x03, 0xDF, 0xDE, 0xD1},                           // renewal
       {"port 10026", "sub 3 AA/0", "renew 3"}},
      {"several groups, repeated codes",
       {0xDF, 0xD3, 0xD4, 0x00, 0x00, 0x01, 0x00, 0xDC, 0xA0, 0x00, 0x07, 0xA0, 0x08, 0xAB, 0x27, 0xDE, 0xDF, 0xDE, 0xD1},
       {"sub 256 A0/0 A0/7 A0/8 AB/39"}},
      {"escaped data bytes in a hash",
       // Node hash DF D3 DF DF: each 0xDF before a select-like byte is followed by 0xDE.
       {0xDF, 0xD1, 0xD7, 0xDF, 0xDE, 0xD3, 0xDF, 0xDF, 0xDE, 0xDC},
       {"value DFD3DFDF"}},
      {"a run of escapes before a select keeps its data bytes",
       // DF DF D1 on channel 3: an opener, one data 0xDF (junk on channel 3), then select 1.
       {0xDF, 0xD3, 0xDF, 0xDF, 0xD1, 0xD7, 0x00, 0x00, 0x00, 0x2A, 0xDC},
       {"value 0000002A"}},
      {"an escape that is no select is two data bytes",
       {0xD7, 0x11, 0xDF, 0x05, 0x22, 0xDC},
       {"value 11DF0522"}},
      {"requests on other channels are ignored",
       {0xDF, 0xD2, 0xD7, 0, 0, 0, 1, 0xDC, 0xDF, 0xD1, 0xD7, 0, 0, 0, 2, 0xDC},
       {"value 00000002"}},
      {"junk before a request is skipped",
       {0xDF, 0xD1, 0x01, 0x02, 0xD7, 0x00, 0xD7, 0x00, 0x00, 0x00, 0x09, 0xDC},
       {"value 00000009"}},
      {"a subscription list broken off by a request on channel 1 and taken up again",
       {0xDF, 0xD3, 0xD4, 0, 0, 0, 9, 0xDC, 0xAA, 0x00, 0xDF, 0xD1, 0xD7, 0, 0, 0, 5, 0xDC,
        0xDF, 0xD3, 0xA1, 0x03, 0xDE, 0xDF, 0xDE, 0xD1},
       {"value 00000005", "sub 9 AA/0 A1/3"}},
      {"renewal whose trailer is missing",
       {0xDF, 0xD3, 0xD4, 0x00, 0x00, 0x00, 0x05, 0xD3, 0x00, 0x10},
       {"renew 5", "port 16"}},
  };
  return all;
}

TEST(SimStream, RequestsAreTheSameWholeSplitAtEveryPositionAndByteByByte) {
  for (const StreamCase& c : cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(feed_in_pieces(c.wire, {}), c.expected);
    for (size_t cut = 1; cut < c.wire.size(); ++cut) {
      SCOPED_TRACE("cut at " + std::to_string(cut));
      EXPECT_EQ(feed_in_pieces(c.wire, {cut}), c.expected);
    }
    std::vector<size_t> every;
    for (size_t i = 1; i < c.wire.size(); ++i) every.push_back(i);
    EXPECT_EQ(feed_in_pieces(c.wire, every), c.expected);
  }
}

TEST(SimStream, HashesFullOfEscapeBytesSurviveTheClientsEncoderAndAnySplit) {
  std::mt19937 rng(7);
  const unsigned char tricky[] = {0xDF, 0xDE, 0xD0, 0xD1, 0xD3, 0xDD, 0xDC, 0x00};
  for (int round = 0; round < 200; ++round) {
    Bytes wire = {0xDF, 0xD1};
    std::vector<std::string> expected;
    for (int k = 0; k < 4; ++k) {
      unsigned char req[12] = {0xD7, 0, 0, 0, 0, 0xDC};
      for (int i = 1; i <= 4; ++i) req[i] = tricky[rng() % sizeof tricky];
      char b[32];
      std::snprintf(b, sizeof b, "value %02X%02X%02X%02X", req[1], req[2], req[3], req[4]);
      expected.emplace_back(b);
      const int n = wSendEscapes(req, 6);  // as the client's send frames every payload
      wire.insert(wire.end(), req, req + n);
    }
    std::vector<size_t> cuts;
    for (size_t i = 1; i < wire.size(); ++i)
      if (rng() % 3 == 0) cuts.push_back(i);
    EXPECT_EQ(feed_in_pieces(wire, cuts), expected) << "round " << round;
  }
}

TEST(SimStream, SubscriptionFromTheExactWireBytes) {
  const Bytes wire = {0xDF, 0xD3, 0xD4, 0x00, 0x00, 0x00, 0x03, 0xDC, 0xAA, 0x00, 0xDE, 0xDF, 0xDE, 0xD1};
  client_stream st;
  std::vector<sim_request> out;
  ASSERT_EQ(sim_feed(st, wire.data(), static_cast<int>(wire.size()), out), 1);
  EXPECT_EQ(out[0].kind, sim_request::subscribe);
  EXPECT_EQ(out[0].id, 3);
  ASSERT_EQ(out[0].items.size(), 1u);
  EXPECT_EQ(out[0].items[0].first, 0xAA);
  EXPECT_EQ(out[0].items[0].second, 0);
  // The trailer was data: the stream is still on channel 3 and nothing is left over.
  EXPECT_EQ(st.channel, 3);
  EXPECT_TRUE(st.pending[1].empty());
  EXPECT_EQ(st.dropped, 0);
}

TEST(SimStream, EachClientKeepsItsOwnChannelAndEscapeState) {
  client_stream a, b;
  std::vector<sim_request> out_a, out_b;
  const Bytes a1 = {0xDF, 0xD3, 0xD4, 0, 0, 0, 7, 0xDF};  // renewal, its trailer split after 0xDF
  const Bytes b1 = {0xDF, 0xD1, 0xD7, 0, 0, 0, 1};
  const Bytes a2 = {0xDE, 0xD1};
  const Bytes b2 = {0xDC};
  sim_feed(a, a1.data(), static_cast<int>(a1.size()), out_a);
  sim_feed(b, b1.data(), static_cast<int>(b1.size()), out_b);
  sim_feed(a, a2.data(), static_cast<int>(a2.size()), out_a);
  sim_feed(b, b2.data(), static_cast<int>(b2.size()), out_b);
  ASSERT_EQ(out_a.size(), 1u);
  EXPECT_EQ(describe(out_a[0]), "renew 7");
  ASSERT_EQ(out_b.size(), 1u);
  EXPECT_EQ(describe(out_b[0]), "value 00000001");
}

TEST(SimStream, EndlessJunkIsBoundedAndNeverBlocksLaterRequests) {
  client_stream st;
  std::vector<sim_request> out;
  // A subscription start with no list end: the pending bytes stay bounded.
  Bytes junk = {0xDF, 0xD3, 0xD4, 0, 0, 0, 1, 0xDC};
  junk.resize(20000, 0x01);
  sim_feed(st, junk.data(), static_cast<int>(junk.size()), out);
  EXPECT_TRUE(out.empty());
  EXPECT_LE(st.pending[1].size(), mixsim::kMaxPendingBytes);
  const Bytes ok = {0xDF, 0xD1, 0xD7, 0, 0, 0, 3, 0xDC};
  sim_feed(st, ok.data(), static_cast<int>(ok.size()), out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(describe(out[0]), "value 00000003");
  EXPECT_EQ(sim_feed(st, nullptr, 5, out), 0);
  EXPECT_EQ(sim_feed(st, ok.data(), -1, out), 0);
}

}  // namespace
