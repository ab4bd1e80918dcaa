// SPDX-License-Identifier: MIT
// Value, definition and event reads over loopback against a scripted console that answers with
// exact bytes and records what the library sent.
#include <mixlink/mixlink.h>

#include <gtest/gtest.h>

#include "link/wire.h"
#include "scripted_peer.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

using mixtest::Bytes;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kEqOn = 38;  // cfg.mon.1.eq.on, an integer leaf
constexpr uint32_t kLevel = 33; // cfg.mon.1.$lvl, a float leaf
constexpr uint32_t kCfg = 28;   // a container
constexpr size_t kRequest = 6;
constexpr double kSlack = 0.2;  // seconds a busy machine may add to a measured bound

Bytes be(uint32_t h) {
  Bytes b(4);
  mixlink::wire::put_be32(b.data(), h);
  return b;
}

// A value reply (or event) for the node hash with the given value token.
Bytes reply_for(uint32_t hash, const Bytes& token) { return mixtest::entry(hash, token); }
Bytes reply_for_token(uint32_t token, const Bytes& value) { return reply_for(wGetHashFromToken(token), value); }

Bytes definition(bool long_header, uint32_t hash, const Bytes& def);

Bytes text_token(const std::string& s) {
  unsigned char out[300];
  const int n = wEncodeString(s.data(), static_cast<int>(s.size()), out);
  return Bytes(out, out + n);
}

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

class ValueReads : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer_.ok());
    connect();
  }
  void TearDown() override { wClose(); }

  void connect() {
    // Answer the keep-alive that connecting sends, so the connect need not wait out its 0.9 s.
    peer_.reply(mixtest::escaped(reply_for(mixlink::kKeepAliveHash, text_token("desk"))), 8);
    char address[32] = "127.0.0.1";
    ASSERT_EQ(wOpen(address), 1);
    ASSERT_TRUE(peer_.wait_replies_sent());
    peer_.clear_received();
  }

  // Queues one reply to be sent once the next request has arrived.
  void answer(const Bytes& payload) { peer_.reply(mixtest::escaped(payload), kRequest); }
  // Queues several replies sent as separate blocks, 50 ms apart, after the next request.
  void answer_in_blocks(const std::vector<Bytes>& blocks) {
    mixtest::Reply r;
    r.after = kRequest;
    r.pause_ms = 50;
    for (const Bytes& b : blocks) {
      Bytes e = mixtest::escaped(b);
      r.bytes.insert(r.bytes.end(), e.begin(), e.end());
      if (r.segments.size() + 1 < blocks.size()) r.segments.push_back(e.size());
    }
    peer_.push(std::move(r));
  }

  mixtest::ScriptedPeer peer_;
};

TEST_F(ValueReads, BadTokensFailWithoutSendingAnything) {
  const uint32_t too_far = static_cast<uint32_t>(wds_imax);
  int type = 0, i = 0, len = 0;
  float f = 0;
  w_value v{};
  char text[257];
  unsigned char* def = nullptr;
  for (uint32_t t : {too_far, 0xFFFFFFFFu}) {
    EXPECT_EQ(wGetToken(t, &type, &v), -2);
    EXPECT_EQ(wGetTokenTimed(t, &type, &v, 1000), -2);
    EXPECT_EQ(wGetTokenFloat(t, &f), -2);
    EXPECT_EQ(wGetTokenInt(t, &i), -2);
    EXPECT_EQ(wGetTokenString(t, text), -2);
    EXPECT_EQ(wGetTokenFloatTimed(t, &f, 1000), -2);
    EXPECT_EQ(wGetTokenIntTimed(t, &i, 1000), -2);
    EXPECT_EQ(wGetTokenStringTimed(t, text, 1000), -2);
    EXPECT_EQ(wGetTokenDef(t, &len, &def), -2);
  }
  // Token 0, the sentinel row, and any other container have no value.
  for (uint32_t t : {0u, kCfg}) {
    EXPECT_EQ(wGetToken(t, &type, &v), -1);
    EXPECT_EQ(wGetTokenTimed(t, &type, &v, 1000), -1);
    EXPECT_EQ(wGetTokenFloat(t, &f), -1);
    EXPECT_EQ(wGetTokenInt(t, &i), -1);
    EXPECT_EQ(wGetTokenString(t, text), -1);
    EXPECT_EQ(wGetTokenFloatTimed(t, &f, 1000), -1);
    EXPECT_EQ(wGetTokenIntTimed(t, &i, 1000), -1);
    EXPECT_EQ(wGetTokenStringTimed(t, text, 1000), -1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(peer_.received().empty());
}

TEST_F(ValueReads, RequestsAreTheHashBetween0xD7AndTheirCode) {
  // A leaf whose hash holds an 0xDF byte shows that the request goes out escaped.
  uint32_t escaped_leaf = 0;
  for (uint32_t t = 1; t < static_cast<uint32_t>(wds_imax) && escaped_leaf == 0; ++t) {
    const Bytes h = be(wGetHashFromToken(t));
    if (wGetType(t) >= 1 && std::find(h.begin(), h.end(), 0xDF) != h.end()) escaped_leaf = t;
  }
  ASSERT_NE(escaped_leaf, 0u);
  const uint32_t hash = wGetHashFromToken(escaped_leaf);
  answer(reply_for(hash, {0x05}));
  int i = 0;
  ASSERT_EQ(wGetTokenInt(escaped_leaf, &i), 1);
  EXPECT_EQ(i, 5);
  Bytes want = mixtest::escaped(mixtest::cat({{0xD7}, be(hash), {0xDC}}));
  Bytes got = peer_.received();
  // The channel select goes out only when the link last sent on another channel.
  if (got.size() == want.size() + 2) want = mixtest::cat({{0xDF, 0xD1}, want});
  EXPECT_EQ(got, want);

  peer_.clear_received();
  const uint32_t cfg = wGetHashFromToken(kCfg);
  answer(definition(false, cfg, {0x01}));
  int len = 0;
  unsigned char* def = nullptr;
  ASSERT_EQ(wGetTokenDef(kCfg, &len, &def), 1) << "containers have definitions";
  std::free(def);
  EXPECT_EQ(peer_.received(), mixtest::escaped(mixtest::cat({{0xD7}, be(cfg), {0xDD}})));
}

TEST_F(ValueReads, ConvertingReadsFollowTheConversionTable) {
  struct Case {
    const char* name;
    Bytes token;
    int float_result;
    float f;
    int int_result;
    int i;
    int string_result;
    const char* text;
  };
  constexpr float kUntouchedF = 123.5f;
  constexpr int kUntouchedI = 4321;
  const Case cases[] = {
      {"empty string", {0xD0}, 0, 0.0f, 0, 0, 0, ""},
      {"float 2.75", {0xD5, 0x40, 0x30, 0x00, 0x00}, 1, 2.75f, 1, 2, 1, "2.750000"},
      {"float -2.75 truncates toward zero", {0xD6, 0xC0, 0x30, 0x00, 0x00}, 1, -2.75f, 1, -2, 1, "-2.750000"},
      {"integer -7", {0xD4, 0xFF, 0xFF, 0xFF, 0xF9}, 1, -7.0f, 1, -7, 1, "-7"},
      {"offset integer 0x40", {0x40}, 1, 1.0f, 1, 1, 1, "1"},
      {"text 0x1F", text_token("0x1F"), 1, 31.0f, 1, 31, 1, "0x1F"},
      {"text 017 is octal to %i", text_token("017"), 1, 17.0f, 1, 15, 1, "017"},
      {"text abc", text_token("abc"), 1, kUntouchedF, 1, kUntouchedI, 1, "abc"},
      {"node hash", {0xD7, 0x12, 0x34, 0x56, 0x78}, -1, 0.0f, -1, 0, -1, ""},
      {"no value token", {0xDA}, 0, kUntouchedF, 0, kUntouchedI, 0, "untouched"},
      {"huge float saturates", {0xD5, 0x7F, 0x7F, 0xFF, 0xFF}, 1, 3.4028235e38f, 1, 2147483647, 1, nullptr},
  };
  for (bool timed : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << (timed ? " (timed)" : ""));
      const Bytes reply = reply_for_token(kEqOn, c.token);
      float f = kUntouchedF;
      answer(reply);
      EXPECT_EQ(timed ? wGetTokenFloatTimed(kEqOn, &f, 2000000) : wGetTokenFloat(kEqOn, &f), c.float_result);
      EXPECT_FLOAT_EQ(f, c.f);
      int i = kUntouchedI;
      answer(reply);
      EXPECT_EQ(timed ? wGetTokenIntTimed(kEqOn, &i, 2000000) : wGetTokenInt(kEqOn, &i), c.int_result);
      EXPECT_EQ(i, c.i);
      char text[257] = "untouched";
      answer(reply);
      EXPECT_EQ(timed ? wGetTokenStringTimed(kEqOn, text, 2000000) : wGetTokenString(kEqOn, text),
                c.string_result);
      if (c.text != nullptr) {
        EXPECT_STREQ(text, c.text);
      }
    }
  }
}

TEST_F(ValueReads, RawReadsHandBackTheDecodedValue) {
  const std::string longest(256, 'w');
  answer(reply_for_token(kEqOn, text_token(longest)));
  int type = -1;
  w_value v{};
  ASSERT_EQ(wGetToken(kEqOn, &type, &v), 1);
  EXPECT_EQ(type, W_VALUE_STRING);
  ASSERT_NE(v.s, nullptr);
  EXPECT_EQ(std::string(v.s), longest);
  std::free(v.s);

  answer(reply_for_token(kLevel, {0xD7, 0xAB, 0xCD, 0xEF, 0x01}));
  ASSERT_EQ(wGetTokenTimed(kLevel, &type, &v, 2000000), 1);
  EXPECT_EQ(type, W_VALUE_HASH);
  EXPECT_EQ(v.hash, 0xABCDEF01u);

  // The longest text still fits the string reads' 257-byte buffer.
  char text[257];
  answer(reply_for_token(kEqOn, text_token(longest)));
  ASSERT_EQ(wGetTokenString(kEqOn, text), 1);
  EXPECT_EQ(std::string(text), longest);
}

TEST_F(ValueReads, AReplyCutShortWaitsForItsRest) {
  // The reply's 32-bit integer lacks its last byte: a timed read gives no value at its deadline
  // without taking bytes that are not there, and the next read finds the reply once it is whole.
  int i = 5;
  answer(reply_for_token(kEqOn, {0xD4, 0x00, 0x00, 0x01}));
  EXPECT_EQ(wGetTokenIntTimed(kEqOn, &i, 200000), 0);
  EXPECT_EQ(i, 5);
  peer_.reply(mixtest::escaped({0x2C}));
  EXPECT_EQ(wGetTokenIntTimed(kEqOn, &i, 2000000), 1);
  EXPECT_EQ(i, 300);
}

TEST_F(ValueReads, OtherTrafficBeforeTheReplyIsDropped) {
  const Bytes mine = reply_for_token(kEqOn, {0x21});
  const Bytes other = reply_for_token(kLevel, {0x05});
  const Bytes noise = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};

  // The raw reads take another node's reply as the end of the read.
  int type = 0;
  w_value v{};
  answer(other);
  EXPECT_EQ(wGetToken(kEqOn, &type, &v), 0);
  answer(other);
  EXPECT_EQ(wGetTokenTimed(kEqOn, &type, &v, 2000000), 0);

  // The converting reads keep waiting for their own node, past noise and other nodes.
  int i = 0;
  answer_in_blocks({noise, other, mine});
  EXPECT_EQ(wGetTokenInt(kEqOn, &i), 1);
  EXPECT_EQ(i, 0x21);
  float f = 0;
  answer_in_blocks({other, noise, mine});
  EXPECT_EQ(wGetTokenFloatTimed(kEqOn, &f, 2000000), 1);
  EXPECT_FLOAT_EQ(f, 33.0f);
  char text[257];
  answer_in_blocks({noise, other, mine});
  EXPECT_EQ(wGetTokenString(kEqOn, text), 1);
  EXPECT_STREQ(text, "33");
  // The raw reads too step over noise that is not a value reply.
  answer_in_blocks({noise, mine});
  EXPECT_EQ(wGetToken(kEqOn, &type, &v), 1);
  EXPECT_EQ(v.i, 0x21);
}

TEST_F(ValueReads, AFullSizeBlockIsTracedByTheTimedStringRead) {
  answer_in_blocks({Bytes(1400, 0x01), reply_for_token(kEqOn, {0x0C})});
  char text[257];
  testing::internal::CaptureStderr();
  EXPECT_EQ(wGetTokenStringTimed(kEqOn, text, 2000000), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "rlen@1400\n");
  EXPECT_STREQ(text, "12");
}

TEST_F(ValueReads, TimedReadsGiveUpAtTheirDeadline) {
  int i = 77;
  auto t0 = Clock::now();
  EXPECT_EQ(wGetTokenIntTimed(kEqOn, &i, 50), 0);
  EXPECT_LT(seconds_since(t0), 1.0);
  EXPECT_EQ(i, 77);

  float f = 1.5f;
  t0 = Clock::now();
  EXPECT_EQ(wGetTokenFloatTimed(kEqOn, &f, 2000000), 0);
  const double waited = seconds_since(t0);
  EXPECT_GE(waited, 2.0);
  EXPECT_LT(waited, 2.0 + 0.05 + kSlack) << "a timed read returns by its deadline";
  EXPECT_EQ(f, 1.5f);
}

TEST_F(ValueReads, AClosedConnectionFailsBlockingReadsAndRunsTimedReadsOut) {
  // Each read gets a connection of its own that the console closes once the request is in.
  int i = 3, type = 0, len = 0;
  w_value v{};
  unsigned char* def = nullptr;
  char text[257] = "kept";
  struct Case {
    const char* name;
    std::function<int()> read;
    int want;
    double at_least;  // seconds the read must have waited
  };
  const Case cases[] = {
      {"wGetTokenInt", [&] { return wGetTokenInt(kEqOn, &i); }, -3, 0.0},
      {"wGetToken", [&] { return wGetToken(kEqOn, &type, &v); }, -3, 0.0},
      {"wGetTokenDef", [&] { return wGetTokenDef(kEqOn, &len, &def); }, -3, 0.0},
      {"wGetTokenIntTimed", [&] { return wGetTokenIntTimed(kEqOn, &i, 300000); }, 0, 0.3},
      {"wGetTokenStringTimed", [&] { return wGetTokenStringTimed(kEqOn, text, 200000); }, 0, 0.2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    wClose();
    connect();
    peer_.close_after(kRequest);
    const auto t0 = Clock::now();
    const double cpu0 = mixtest::process_cpu_seconds();
    EXPECT_EQ(c.read(), c.want);
    EXPECT_GE(seconds_since(t0), c.at_least);
    // Waiting out the deadline on a stream that has ended costs no processor time.
    EXPECT_LT(mixtest::process_cpu_seconds() - cpu0, 0.05 + c.at_least / 4);
  }
  EXPECT_EQ(i, 3);
  EXPECT_EQ(def, nullptr);
  EXPECT_STREQ(text, "kept");
}

TEST_F(ValueReads, AFailedRequestSendIsReportedWithItsMessageWhereTheProgramWantsIt) {
  wClose();  // the socket is gone, so every send fails
  struct Case {
    const char* name;
    std::function<int()> read;
    const char* prefix;
  };
  char text[257];
  int i = 0, len = 0;
  unsigned char* def = nullptr;
  const Case cases[] = {
      {"wGetTokenString", [&] { return wGetTokenString(kEqOn, text); }, "wGetStringToken wSend error: "},
      {"wGetTokenStringTimed", [&] { return wGetTokenStringTimed(kEqOn, text, 1000); },
       "wGetTokenStringTimed wSend error: "},
      {"wGetTokenDef", [&] { return wGetTokenDef(kEqOn, &len, &def); }, "wGetTokenDef wSend error: "},
      {"wGetTokenInt", [&] { return wGetTokenInt(kEqOn, &i); }, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.read(), -4);
    const std::string err = testing::internal::GetCapturedStderr();
    if (c.prefix == nullptr) {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_EQ(err.rfind(c.prefix, 0), 0u) << err;
      EXPECT_EQ(err.back(), '\n');
    }
  }
  // A program may take the texts for itself (or drop them), and give them back to standard error.
  std::string routed;
  wSetDiagnostics([](void* to, const char* text) { *static_cast<std::string*>(to) += text; }, &routed);
  testing::internal::CaptureStderr();
  EXPECT_EQ(wGetTokenDef(kEqOn, &len, &def), -4);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(routed.rfind("wGetTokenDef wSend error: ", 0), 0u) << routed;
  wSetDiagnostics(nullptr, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(wGetTokenDef(kEqOn, &len, &def), -4);
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
}

// ---- Every read, however its reply is cut ----

// A float whose bytes are escapes and selects, so cuts fall between an escape and its partner.
const Bytes kEscapeFloat = {0xD5, 0xDF, 0xD3, 0xDF, 0xDF};
constexpr uint32_t kEscapeFloatBits = 0xDFD3DFDF;

// The reply the console gives for container token: an entry per leaf, then the closing byte.
Bytes container_reply(uint32_t container) {
  Bytes out;
  for (uint32_t t = container + 1; t < wNodeSubtreeEnd(container); ++t) {
    if (wGetType(t) == W_FLOAT) out = mixtest::cat({out, reply_for_token(t, kEscapeFloat)});
    else if (wGetType(t) >= W_INTEGER) out = mixtest::cat({out, reply_for_token(t, {0x21})});
  }
  out.push_back(0xDE);
  return out;
}

TEST_F(ValueReads, EveryReadTakesItsReplyHoweverItIsCutAndLeavesWhatFollows) {
  const uint32_t eq = wGetTokenFromName("cfg.mon.1.eq");
  const int leaves = wNodeLeafCount(eq);
  const Bytes eq_reply = container_reply(eq);
  const Bytes junk = {0x01, 0x02, 0x03, 0xD1, 0x3F};
  const Bytes event = reply_for_token(kLevel, {0x05});
  const Bytes foreign = reply_for_token(wGetTokenFromName("ch.1.mute"), {0x07});
  const Bytes traffic = mixtest::cat({junk, event, foreign, junk});
  const Bytes follows = reply_for_token(kLevel, {0xD5, 0x3F, 0xC0, 0x00, 0x00});  // 1.5, left for the next read
  const Bytes two_events = mixtest::cat({reply_for_token(kEqOn, {0x40}), reply_for_token(kLevel, kEscapeFloat)});

  struct Case {
    const char* name;
    Bytes reply;
    Bytes in_front;  // what the read passes over on its way to the reply
    bool asks;       // the read sends a request before its reply comes
    std::function<void()> read;
  };
  const Case cases[] = {
      {"raw value", reply_for_token(kLevel, kEscapeFloat), junk, true,
       [] {
         int type = -1;
         w_value v{};
         ASSERT_EQ(wGetTokenTimed(kLevel, &type, &v, 2000000), 1);
         EXPECT_EQ(type, W_VALUE_FLOAT);
         EXPECT_EQ(v.hash, kEscapeFloatBits);
       }},
      {"converting value", reply_for_token(kEqOn, {0xD4, 0x00, 0x00, 0xDF, 0xD1}), mixtest::cat({traffic, event}), true,
       [] {
         int i = 0;
         ASSERT_EQ(wGetTokenIntTimed(kEqOn, &i, 2000000), 1);
         EXPECT_EQ(i, 0xDFD1);
       }},
      {"definition", definition(true, wGetHashFromToken(kLevel), {0x02, 0xDF, 0xD1, 0xDF}), traffic, true,
       [] {
         int len = 0;
         unsigned char* data = nullptr;
         ASSERT_EQ(wGetTokenDefTimed(kLevel, &len, &data, 2000000), 1);
         EXPECT_EQ(Bytes(data, data + len), (Bytes{0x02, 0xDF, 0xD1, 0xDF}));
         std::free(data);
       }},
      {"events", two_events, junk, false,
       [] {
         w_token_value rec[2] = {};
         int got = 0;
         for (int calls = 0; got < 2 && calls < 100; ++calls) {
           const int n = wGetParsedEventsTimed(rec + got, 2 - got, 2000000);
           ASSERT_GE(n, 1);
           got += n;
         }
         EXPECT_EQ(rec[0].token, kEqOn);
         EXPECT_EQ(rec[0].value.i, -63);
         EXPECT_EQ(rec[1].token, kLevel);
         EXPECT_EQ(static_cast<uint32_t>(rec[1].value.i), kEscapeFloatBits);
       }},
      {"event entries", two_events, mixtest::cat({junk, reply_for_token(kEqOn, {0xE0}), junk}), false,
       [&] {
         Bytes got(two_events.size());
         const int room = static_cast<int>(got.size());
         ASSERT_EQ(wGetEventEntriesTimed(got.data(), 5, 2000000), -10);  // no event fits in 5 bytes
         // Room for the two events only: the one behind them stays.
         for (int n = 0, calls = 0; n < room && calls < 100; ++calls) {
           const int r = wGetEventEntriesTimed(got.data() + n, room - n, 2000000);
           ASSERT_GT(r, 0);
           n += r;
         }
         EXPECT_EQ(got, two_events);
       }},
      {"container records", eq_reply, traffic, true,
       [&] {
         std::vector<w_token_value> rec(static_cast<size_t>(leaves));
         ASSERT_EQ(wGetNodeToTVArrayTimed(eq, rec.data(), leaves, 2000000), leaves);
         EXPECT_EQ(rec.front().token, eq + 1);
         EXPECT_EQ(rec.back().token, wNodeSubtreeEnd(eq) - 1);
       }},
      {"container dump", eq_reply, traffic, true,
       [&] {
         std::vector<char> want(8192), got(8192);
         w_dump dump;
         wDumpStart(&dump, "cfg.mon.1.eq", want.data(), want.size());
         ASSERT_EQ(wReplyToDump(eq_reply.data(), static_cast<int>(eq_reply.size()) - 1, &dump), leaves);
         wDumpFinish(&dump);
         ASSERT_EQ(wGetNodeTimed(eq, got.data(), got.size(), 2000000), 1);
         EXPECT_STREQ(got.data(), want.data());
       }},
      {"raw container", eq_reply, traffic, true,
       [&] {
         Bytes buf(4096);
         ASSERT_EQ(wGetBinaryNodeTimed(eq, buf.data(), static_cast<int>(buf.size()), 2000000),
                   static_cast<int>(eq_reply.size()));
         buf.resize(eq_reply.size());
         EXPECT_EQ(buf, eq_reply);
       }},
  };
  for (const Case& c : cases) {
    const Bytes wire = mixtest::escaped(c.reply);
    const Bytes front = mixtest::escaped(c.in_front);
    struct Feeding {
      std::string name;
      Bytes bytes;
      std::vector<size_t> segments;
    };
    std::vector<Feeding> feedings;
    for (const auto& plan : mixtest::every_cut(wire.size())) {
      feedings.push_back({plan.size() == 1 ? "whole" : plan[0] == 1 && plan.size() > 2 ? "byte by byte" : "cut at " + std::to_string(plan[0]),
                          wire, std::vector<size_t>(plan.begin(), plan.end() - 1)});
    }
    feedings.push_back({"traffic in front, same block", mixtest::cat({front, wire}), {}});
    feedings.push_back({"traffic in front, own block", mixtest::cat({front, wire}), {front.size()}});
    for (const Feeding& f : feedings) {
      SCOPED_TRACE(testing::Message() << c.name << ", " << f.name);
      mixtest::Reply r;
      r.bytes = mixtest::cat({f.bytes, mixtest::escaped(follows)});
      r.after = c.asks ? kRequest : 0;
      r.segments = f.segments;
      r.pause_ms = f.segments.size() > 2 ? 1 : 3;
      peer_.push(r);
      c.read();
      // What came behind the reply is the next read's.
      w_token_value next[2] = {};
      ASSERT_EQ(wGetParsedEventsTimed(next, 2, 2000000), 1);
      EXPECT_EQ(next[0].token, kLevel);
      EXPECT_FLOAT_EQ(next[0].value.f, 1.5f);
      if (HasFatalFailure()) return;
    }
  }
}

// ---- Definitions ----

// A definition reply as the console sends it: 0xDF, the definition's length in 2 bytes (or two
// zero bytes and 4), the parent's hash (zero here), the node's hash, the definition.
Bytes definition(bool long_header, uint32_t hash, const Bytes& def) {
  Bytes b(long_header ? 15 : 11, 0x00);
  b[0] = 0xDF;
  const Bytes n = be(static_cast<uint32_t>(def.size()));
  if (long_header) std::copy(n.begin(), n.end(), b.begin() + 3);
  else std::copy(n.begin() + 2, n.end(), b.begin() + 1);
  const size_t at = long_header ? 11 : 7;
  const Bytes h = be(hash);
  std::copy(h.begin(), h.end(), b.begin() + static_cast<long>(at));
  return mixtest::cat({b, def});
}

TEST_F(ValueReads, DefinitionsAreFoundInBothLayoutsAndOthersAreDropped) {
  const uint32_t hash = wGetHashFromToken(kLevel);
  struct Case {
    const char* name;
    std::vector<Bytes> blocks;
    Bytes want;
  };
  const Bytes def = {0x10, 0x20, 0x30, 0x40};
  // Bytes 1 and 2 zero, bytes 3 to 10 anything (no count that fits), the hash, 4 bytes.
  Bytes example = {0xDF, 0x00, 0x00, 0x7E, 0x7E, 0x7E, 0x7E, 0x7E, 0x7E, 0x7E, 0x7E};
  const Bytes h = be(hash);
  example.insert(example.end(), h.begin(), h.end());
  example.insert(example.end(), def.begin(), def.end());
  const Case cases[] = {
      {"any bytes in 3 to 10", {example}, def},
      {"any bytes in 3 to 10, behind another node's definition", {definition(true, hash + 1, {0x01}), example}, def},
      {"long header", {definition(true, hash, def)}, def},
      {"short header", {definition(false, hash, {0x55, 0x66})}, {0x55, 0x66}},
      {"another node's definition first", {definition(true, hash + 1, {0x01}), definition(false, hash, def)}, def},
      {"too short for its header first", {Bytes{0xDF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, definition(true, hash, def)}, def},
      {"a value reply first", {reply_for(hash, {0x05}), definition(true, hash, def)}, def},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    answer_in_blocks(c.blocks);
    int len = -1;
    unsigned char* data = nullptr;
    const auto t0 = Clock::now();
    ASSERT_EQ(wGetTokenDef(kLevel, &len, &data), 1);
    EXPECT_LT(seconds_since(t0), 0.5 + kSlack) << "nothing a header announces is waited for";
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(Bytes(data, data + len), c.want);
    std::free(data);
  }
}

// ---- Events ----

TEST_F(ValueReads, AnEventAfterAnUnansweredReadOfTheSameNodeIsDelivered) {
  // Reads that gave up leave their replies owed; the node's events that follow are still events.
  for (int unanswered = 0; unanswered < 3; ++unanswered) {
    int i = 0;
    EXPECT_EQ(wGetTokenIntTimed(kEqOn, &i, 100000), 0);
  }
  for (int value : {5, 6, 7}) {
    peer_.reply(mixtest::escaped(reply_for_token(kEqOn, {static_cast<unsigned char>(value)})));
    w_token_value rec{};
    ASSERT_EQ(wGetParsedEventsTimed(&rec, 1, 2000000), 1) << "event " << value;
    EXPECT_EQ(rec.token, kEqOn);
    EXPECT_EQ(rec.value.i, value);
  }
  // A raw read passes over a late reply that is still owed, and ends on it once the mark has
  // run out with the abandoned read's own time-out.
  int type = 0;
  w_value v{};
  EXPECT_EQ(wGetTokenTimed(kLevel, &type, &v, 500000), 0);
  answer(mixtest::cat({reply_for_token(kLevel, {0x01}), reply_for_token(kEqOn, {0x02})}));
  EXPECT_EQ(wGetTokenTimed(kEqOn, &type, &v, 2000000), 1);
  EXPECT_EQ(v.i, 2);
  EXPECT_EQ(wGetTokenTimed(kLevel, &type, &v, 20000), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  answer(mixtest::cat({reply_for_token(kLevel, {0x01}), reply_for_token(kEqOn, {0x03})}));
  EXPECT_EQ(wGetTokenTimed(kEqOn, &type, &v, 2000000), 0) << "an expired mark no longer hides the other node";
}

TEST_F(ValueReads, EventsOfOneBlockBecomeRecords) {
  const Bytes block = mixtest::cat({reply_for(0x12345678, {0x01}),  // a node the dictionary lacks
                                    reply_for_token(kEqOn, {0x40}),
                                    reply_for_token(kLevel, {0xD5, 0x40, 0x30, 0x00, 0x00}),
                                    reply_for_token(kEqOn, {0x82, 'o', 'f', 'f'})});
  ASSERT_EQ(wGetTokenFromHash(0x12345678), 0u);
  peer_.reply(mixtest::escaped(block));
  w_token_value rec[3] = {};
  ASSERT_EQ(wGetParsedEventsTimed(rec, 3, 2000000), 3);
  EXPECT_EQ(rec[0].token, kEqOn);
  EXPECT_EQ(rec[0].value.i, -63);
  EXPECT_EQ(rec[1].token, kLevel);
  EXPECT_FLOAT_EQ(rec[1].value.f, 2.75f);
  EXPECT_STREQ(rec[2].value.s, "off");
  std::free(rec[2].value.s);

  // More events than records: the rest stays for the next call.
  peer_.reply(mixtest::escaped(block));
  w_token_value two[3] = {{}, {}, {555, 55, {}}};
  ASSERT_EQ(wGetParsedEvents(two, 2), 2);
  EXPECT_EQ(two[2].token, 555u);
  ASSERT_EQ(wGetParsedEventsTimed(two, 3, 100000), 1);
  EXPECT_STREQ(two[0].value.s, "off");
  std::free(two[0].value.s);

  // A time-out leaves the records as they were; so does n = 0 with nothing to read.
  w_token_value kept{9, 9, {}};
  EXPECT_EQ(wGetParsedEventsTimed(&kept, 1, 50000), 0);
  EXPECT_EQ(kept.token, 9u);
  EXPECT_EQ(wGetParsedEventsTimed(&kept, 0, 1000), 0);
  EXPECT_EQ(kept.type, 9);

  // A closed connection reads as an empty block.
  peer_.close_client();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(wGetParsedEventsTimed(&kept, 1, 100000), 0);
}

}  // namespace
