// SPDX-License-Identifier: MIT
// mixsim's replies, definitions, discovery answers and meter datagrams, byte for byte.
#include <gtest/gtest.h>

#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/meters.h>
#include <mixlink/values.h>

#include <cstring>
#include <string>

#include "compose.h"
#include "model.h"

using namespace mixsim;

namespace {

const console_model& model() {
  static const console_model m(1);
  return m;
}

uint32_t be32(const std::string& s, size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + at;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

TEST(SimReplies, LeafValueIsHashThenOneToken) {
  const uint32_t token = wGetTokenFromName("ch.1.fdr");
  ASSERT_NE(token, 0u);
  const std::string r = compose_value_reply(model(), wingdataset[token].hash);
  ASSERT_EQ(r.size(), 10u);  // a float token
  EXPECT_EQ(static_cast<unsigned char>(r[0]), 0xD7);
  EXPECT_EQ(be32(r, 1), wingdataset[token].hash);
  int type = -1;
  w_value v{};
  ASSERT_EQ(wParesToValue(reinterpret_cast<const unsigned char*>(r.data()) + 5, &type, &v), 1);
  EXPECT_EQ(type, W_VALUE_FLOAT);
  EXPECT_EQ(v.f, 0.0f);  // the first channels start at 0 dB
}

TEST(SimReplies, UnknownHashesGetNoReply) {
  EXPECT_TRUE(compose_value_reply(model(), 0).empty());
  EXPECT_TRUE(compose_value_reply(model(), 0x12345678u).empty());
  EXPECT_TRUE(compose_definition_reply(model(), 0, false).empty());
  EXPECT_TRUE(compose_definition_reply(model(), 0x12345678u, true).empty());
}

// Walks a container reply and checks one entry per leaf below the container, in dictionary order
// (the subtree read off the table independently), then the closing byte.
void expect_container_reply(const char* path) {
  SCOPED_TRACE(path);
  const uint32_t token = wGetTokenFromName(path);
  ASSERT_NE(token, 0u);
  ASSERT_EQ(wingdataset[token].type, W_CONTAINER);
  const std::string r = compose_value_reply(model(), wingdataset[token].hash);
  const auto* b = reinterpret_cast<const unsigned char*>(r.data());
  const int n = static_cast<int>(r.size());
  size_t at = 0;
  int leaves = 0;
  const std::string prefix = std::string(path) + ".";
  for (int t = static_cast<int>(token) + 1; t < wds_imax && std::strncmp(wingdataset[t].path, prefix.c_str(), prefix.size()) == 0; ++t) {
    if (wingdataset[t].type < W_INTEGER) continue;
    ++leaves;
    ASSERT_LT(at + 5, r.size());
    EXPECT_EQ(b[at], 0xD7);
    EXPECT_EQ(be32(r, at + 1), wingdataset[t].hash) << wingdataset[t].path;
    const int len = wTokenLength(b + at + 5, n - static_cast<int>(at) - 5);
    ASSERT_GT(len, 0) << wingdataset[t].path;
    at += 5 + static_cast<size_t>(len);
  }
  EXPECT_GT(leaves, 0);
  ASSERT_EQ(at + 1, r.size());
  EXPECT_EQ(b[at], kContainerReplyEnd);
}

TEST(SimReplies, ContainerGetsEveryLeafInOrderThenTheEndByte) {
  expect_container_reply("cfg.mon.1.eq");
  expect_container_reply("$stat");
  // A send group whose stored leaf count is 0 still lists its leaves.
  ASSERT_EQ(wingdataset[wGetTokenFromName("ch.1.send.1")].leaves, 0u);
  expect_container_reply("ch.1.send.1");
  expect_container_reply("ch");
}

TEST(SimReplies, DefinitionInBothHeaderForms) {
  const uint32_t token = wGetTokenFromName("cfg.mon.1.eq.on");
  const uint32_t hash = wingdataset[token].hash;
  const std::string def = model().definition(token);
  ASSERT_GE(def.size(), 2u);
  EXPECT_EQ(def[0], 1);  // integer
  for (bool long_form : {false, true}) {
    SCOPED_TRACE(long_form ? "long" : "short");
    const std::string r = compose_definition_reply(model(), hash, long_form);
    const auto* b = reinterpret_cast<const unsigned char*>(r.data());
    EXPECT_EQ(b[0], 0xDF);
    EXPECT_EQ(b[1] == 0 && b[2] == 0, long_form);
    const size_t header = long_form ? 15 : 11;
    ASSERT_EQ(r.size(), header + def.size());
    EXPECT_EQ(be32(r, header - 4), hash);
    EXPECT_EQ(be32(r, header - 8), wingdataset[wGetTokenFromName("cfg.mon.1.eq")].hash);  // parent
    EXPECT_EQ(r.substr(header), def);
    // The library's own locator finds the same bytes, once the reply has crossed the framing.
    std::string wire = frame_for_send(r);
    int ch = 1;
    const int n = wDecodeEscapes(reinterpret_cast<unsigned char*>(wire.data()), static_cast<int>(wire.size()), &ch);
    const unsigned char* data = nullptr;
    int length = 0;
    ASSERT_EQ(wParseDefinitionReply(reinterpret_cast<const unsigned char*>(wire.data()), n, hash, &data, &length), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length)), def);
  }
}

TEST(SimReplies, DefinitionFieldsAreValueTokens) {
  // A fader: type 2, float range, then minimum, maximum, unit and scale byte.
  const std::string d = model().definition(wGetTokenFromName("ch.1.fdr"));
  const auto* b = reinterpret_cast<const unsigned char*>(d.data());
  ASSERT_GE(d.size(), 14u);
  EXPECT_EQ(b[0], 2);
  EXPECT_EQ(b[1], kDefFloatRange);
  w_token_value min{}, max{}, unit{};
  int at = wParseToTV(b, 2, &min, static_cast<int>(d.size()));
  at = wParseToTV(b, at, &max, static_cast<int>(d.size()));
  at = wParseToTV(b, at, &unit, static_cast<int>(d.size()));
  ASSERT_GT(at, 0);
  EXPECT_EQ(min.value.f, -144.0f);
  EXPECT_EQ(max.value.f, 10.0f);
  ASSERT_NE(unit.value.s, nullptr);
  EXPECT_STREQ(unit.value.s, "dB");
  std::free(unit.value.s);
  EXPECT_EQ(static_cast<size_t>(at) + 1, d.size());
  // A container counts its real leaves, also where the stored count is 0.
  const uint32_t send = wGetTokenFromName("ch.1.send.1");
  const std::string c = model().definition(send);
  EXPECT_EQ(c[1], static_cast<char>(kDefContainer));
  w_token_value leaves{};
  ASSERT_GT(wParseToTV(reinterpret_cast<const unsigned char*>(c.data()), 2, &leaves, static_cast<int>(c.size())), 0);
  EXPECT_GT(leaves.value.i, 0);
}

TEST(SimValues, EveryValueTokenClassOccursAndEveryLeafHasOneWholeToken) {
  for (const code_example& ex : model().code_examples()) {
    SCOPED_TRACE(ex.what);
    ASSERT_NE(ex.token, 0u);
    EXPECT_GE(wingdataset[ex.token].type, W_INTEGER);
  }
  for (int t = 1; t < wds_imax; ++t) {
    const std::string& v = model().value(static_cast<uint32_t>(t));
    if (wingdataset[t].type < W_INTEGER) {
      EXPECT_TRUE(v.empty()) << wingdataset[t].path;
      continue;
    }
    ASSERT_FALSE(v.empty()) << wingdataset[t].path;
    ASSERT_EQ(wTokenLength(reinterpret_cast<const unsigned char*>(v.data()), static_cast<int>(v.size())),
              static_cast<int>(v.size()))
        << wingdataset[t].path;
    // Typed as the dictionary says (type 4 like an integer; a node hash only in a control slot).
    int type = -1;
    w_value val{};
    ASSERT_EQ(wParesToValue(reinterpret_cast<const unsigned char*>(v.data()), &type, &val), 1);
    if (type == W_VALUE_STRING) std::free(val.s);
    const int want = wingdataset[t].type == W_INTEGER_KIND ? W_INTEGER : wingdataset[t].type;
    if (type != W_VALUE_HASH) {
      EXPECT_EQ(type, want) << wingdataset[t].path;
    }
  }
  std::string consolename = model().value(wGetTokenFromName("$syscfg.consolename"));
  EXPECT_EQ(consolename.substr(1), "Sim Console");
  EXPECT_EQ(model().value(wGetTokenFromName("ch.2.name")).substr(1), "CH 2");
}

TEST(SimDiscovery, ReplyTextAndProbeRecognition) {
  EXPECT_EQ(compose_discovery_reply("192.0.2.10", identity{}), "WING,192.0.2.10,Sim Console,SIM-48,S0000001,0.1.0-sim");
  // The library's parser takes the address back out.
  const std::string r = compose_discovery_reply("127.0.0.1", identity{});
  char addr[32] = {};
  ASSERT_EQ(wParseDiscoveryReply(reinterpret_cast<const unsigned char*>(r.data()), static_cast<int>(r.size()), addr), 1);
  EXPECT_STREQ(addr, "127.0.0.1");
  const unsigned char probe[] = {'W', 'I', 'N', 'G', '?'};
  EXPECT_TRUE(is_discovery_probe(probe, 5));
  EXPECT_FALSE(is_discovery_probe(probe, 4));
  EXPECT_FALSE(is_discovery_probe(reinterpret_cast<const unsigned char*>("WING!"), 5));
}

TEST(SimMeters, RtaDatagramSpansTheWholeBarScale) {
  rta_generator gen(1);
  const std::vector<std::pair<unsigned char, unsigned char>> rta = {{0xAA, 0}};
  double lowest = 1e9, highest = 0;
  int above_top = 0;
  for (int frame = 0; frame < 20 * 20; ++frame) {  // 20 s at 20 Hz
    int16_t bands[kRtaBands];
    const double t = frame / 20.0;
    gen.frame(t, bands);
    const std::string d = compose_meter_datagram(3, rta, bands, t, meter_shape::normal);
    ASSERT_EQ(d.size(), static_cast<size_t>(kRtaDatagram));
    EXPECT_EQ(be32(d, 0), 3u);
    for (int i = 0; i < kRtaBands; ++i) {
      const auto* p = reinterpret_cast<const unsigned char*>(d.data()) + 4 + 2 * i;
      const int16_t v = static_cast<int16_t>((p[0] << 8) | p[1]);
      EXPECT_EQ(v, bands[i]);
      const double h = 128.0 * wRtaLevel(v);
      lowest = std::min(lowest, h);
      highest = std::max(highest, h);
      above_top += h > 128.0;
    }
  }
  EXPECT_LT(lowest, 1.0);
  EXPECT_GT(highest, 128.0);
  EXPECT_GT(above_top, 0);
  EXPECT_LT(above_top, 400 * 120 / 100);  // occasional, not common
}

// The feedback band climbs above what the spectrum would be, rings at full scale, and goes;
// every other band stays as it was.
TEST(SimMeters, FeedbackBandBuildsUpRingsAndGoes) {
  rta_generator plain(1), ringing(1);
  ringing.set_feedback(83, 800.0);
  for (int frame = 0; frame < 25 * 20; ++frame) {
    const double t = frame / 20.0;
    int16_t a[kRtaBands], b[kRtaBands];
    plain.frame(t, a);
    ringing.frame(t, b);
    for (int i = 0; i < kRtaBands; ++i) {
      if (i == 83) continue;
      ASSERT_EQ(a[i], b[i]) << i << " at " << t;
    }
    const double climb = 800.0 * (t - 5.0);
    if (t < 5.0 || (t >= 15.0 && t < 25.0)) {
      ASSERT_EQ(b[83], a[83]) << t;
    } else {
      ASSERT_NEAR(b[83], std::min(0.0, a[83] + climb), 1.0) << t;
    }
  }
}

TEST(SimMeters, DatagramShapesAndOtherGroups) {
  int16_t bands[kRtaBands] = {};
  const std::vector<std::pair<unsigned char, unsigned char>> rta = {{0xAA, 0}};
  EXPECT_EQ(compose_meter_datagram(1, rta, bands, 0, meter_shape::short_datagram).size(), size_t{kShortMeterDatagram});
  EXPECT_EQ(compose_meter_datagram(1, rta, bands, 0, meter_shape::long_datagram).size(),
            size_t{kRtaDatagram + kLongMeterExtra});
  const std::vector<std::pair<unsigned char, unsigned char>> mixed = {{0xA0, 0}, {0xA0, 1}, {0xAA, 0}};
  EXPECT_EQ(compose_meter_datagram(1, mixed, bands, 0, meter_shape::normal).size(), size_t{4 + 8 + 8 + 240});
  EXPECT_EQ(compose_meter_datagram(1, {}, bands, 0, meter_shape::normal).size(), 4u);
}

TEST(SimReplies, FramingNeverLeavesASelectOrATrailingEscape) {
  // Float bits ending in 0xDF followed by the container end byte 0xDE must stay data.
  const std::string raw = std::string("\xD7\x01\x02\x03\x04\xD5\x00\x00\x00\xDF", 10) + "\xDE";
  std::string wire = frame_for_send(raw);
  int ch = 1;
  const int n = wDecodeEscapes(reinterpret_cast<unsigned char*>(wire.data()), static_cast<int>(wire.size()), &ch);
  EXPECT_EQ(std::string(wire.data(), static_cast<size_t>(n)), raw);
  EXPECT_EQ(ch, 1);
}

}  // namespace
