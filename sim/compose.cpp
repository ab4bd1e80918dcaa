// SPDX-License-Identifier: MIT
// Composing the simulated console's replies, definitions, discovery answers and meter datagrams.
#include "compose.h"

#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/meters.h>
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "link/wire.h"

using namespace mixlink;

namespace mixsim {

namespace {

template <size_t N>
void append(std::string& s, const unsigned char (&bytes)[N]) {
  s.append(reinterpret_cast<const char*>(bytes), N);
}

void put_be32(std::string& s, uint32_t v) {
  unsigned char b[4];
  wire::put_be32(b, v);
  append(s, b);
}

// v is a length or a signed 16-bit level; either way its low 16 bits go on the wire.
void put_be16(std::string& s, int v) {
  unsigned char b[2];
  wire::put_be16(b, static_cast<uint32_t>(v));
  append(s, b);
}

// The row of the container directly above token, 0 for a top-level node. The table is made once,
// by stepping through each container's children with the subtree ends, so that a definition
// request costs the same for every node.
uint32_t parent_of(uint32_t token) {
  static const std::vector<uint32_t> parents = [] {
    std::vector<uint32_t> p(static_cast<size_t>(wds_imax), 0);
    for (uint32_t t = 1; t < static_cast<uint32_t>(wds_imax); ++t)
      if (wingdataset[t].type == W_CONTAINER)
        for (uint32_t child = t + 1; child < wNodeSubtreeEnd(t); child = wNodeSubtreeEnd(child)) p[child] = t;
    return p;
  }();
  return token < parents.size() ? parents[token] : 0;
}

// Appends token's entry (0xD7, its hash, its value token) to s; a row without a value adds nothing.
void append_entry(std::string& s, const console_model& model, uint32_t token) {
  const std::string& v = model.value(token);
  if (v.empty()) return;
  unsigned char head[wire::kEntryHeader];
  wire::put_entry_header(head, wingdataset[token].hash);
  append(s, head);
  s += v;
}

}  // namespace

std::string compose_entry(const console_model& model, uint32_t token) {
  std::string s;
  append_entry(s, model, token);
  return s;
}

std::string compose_value_reply(const console_model& model, uint32_t hash) {
  if (hash == 0) return {};  // row 0 is the dictionary's sentinel, not a console node
  const uint32_t token = wGetTokenFromHash(hash);
  if (token == 0) return {};
  if (wingdataset[token].type >= W_INTEGER) return compose_entry(model, token);
  // Every leaf of the subtree, found by its rows: the stored leaf count is 0 for some groups
  // that do have leaves.
  const uint32_t end = wNodeSubtreeEnd(token);
  std::string s;
  s.reserve(static_cast<size_t>(wNodeLeafCount(token)) * 12 + 1);
  for (uint32_t t = token + 1; t < end; ++t)
    if (wingdataset[t].type >= W_INTEGER) append_entry(s, model, t);
  s.push_back(static_cast<char>(kContainerReplyEnd));
  return s;
}

std::string compose_definition_reply(const console_model& model, uint32_t hash, bool long_form) {
  if (hash == 0) return {};
  const uint32_t token = wGetTokenFromHash(hash);
  if (token == 0) return {};
  const std::string def = model.definition(token);
  const uint32_t parent = parent_of(token);
  std::string s;
  s.push_back(static_cast<char>(kDefinitionReply));
  if (long_form) {
    put_be16(s, 0);
    put_be32(s, static_cast<uint32_t>(def.size()));
  } else {
    put_be16(s, static_cast<int>(def.size()));  // definitions are 2 to a few hundred bytes: never 0
  }
  put_be32(s, parent != 0 ? wingdataset[parent].hash : 0);
  put_be32(s, hash);
  s += def;
  return s;
}

std::string compose_map_size_reply() {
  std::string s;
  s.push_back(static_cast<char>(kMapSizeRequest));
  static const int leaves = [] {
    int n = 0;
    for (int t = 1; t < wds_imax; ++t) n += wingdataset[t].type >= W_INTEGER;
    return n;
  }();
  s.push_back(static_cast<char>(kTokInt32));
  put_be32(s, static_cast<uint32_t>(wds_imax));
  s.push_back(static_cast<char>(kTokInt32));
  put_be32(s, static_cast<uint32_t>(leaves));
  return s;
}

std::string compose_discovery_reply(const std::string& ip, const identity& id) {
  return std::string(kDiscoveryReplyTag) + "," + ip + "," + id.name + "," + id.model + "," + id.serial + "," +
         id.firmware;
}

bool is_discovery_probe(const unsigned char* data, int length) {
  const int n = static_cast<int>(sizeof kDiscoveryProbe) - 1;
  return data != nullptr && length == n && std::memcmp(data, kDiscoveryProbe, static_cast<size_t>(n)) == 0;
}

void rta_generator::frame(double t, int16_t out[kRtaBands]) {
  std::normal_distribution<double> jitter(0.0, 0.035);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  if (t >= next_hot_) {
    // Now and then one band overloads for a moment: the bar runs past the top of the scale.
    hot_band_ = 10 + static_cast<int>(unit(rng_) * 100.0);
    hot_until_ = t + 0.3;
    next_hot_ = t + 2.5 + unit(rng_) * 3.0;
  }
  struct peak { double centre, swing, speed, height; };
  static const peak peaks[] = {{30.0, 8.0, 0.21, 0.92}, {62.0, 14.0, 0.13, 0.80}, {92.0, 10.0, 0.33, 0.70}};
  for (int i = 0; i < kRtaBands; ++i) {
    // Heights as a fraction of the 128-pixel scale. Bands stand a twelfth of an octave apart,
    // where pink noise is flat; a little slow breathing keeps the floor alive.
    double f = 0.28 + 0.04 * std::sin(t * 0.7 + i * 0.15) + jitter(rng_);
    for (const peak& p : peaks) {
      const double c = p.centre + p.swing * std::sin(t * p.speed);
      const double d = (i - c) / 1.8;
      f = std::max(f, p.height * (0.9 + 0.1 * std::sin(t * 2.0 + c)) * std::exp(-0.5 * d * d));
    }
    if (i < 10) f *= (i / 10.0) * (i / 10.0);  // below the lowest audible bands
    if (i >= 112) f *= 1.0 - (i - 111) * 0.08;
    if (i == hot_band_ && t < hot_until_) f = 1.12 + 0.05 * unit(rng_);
    f = std::clamp(f, 0.0, 1.25);
    double v = wRtaValueOfLevel(f);  // the band value that the bar curve draws at f
    const double into_cycle = std::fmod(t, kFeedbackCycle);
    if (i == feedback_band_ && into_cycle >= kFeedbackStart && into_cycle < kFeedbackEnd)
      v = std::min(0.0, v + std::round(feedback_growth_ * (into_cycle - kFeedbackStart)));
    out[i] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
  }
}

std::string compose_meter_datagram(int32_t id, const std::vector<std::pair<unsigned char, unsigned char>>& items,
                                   const int16_t rta[kRtaBands], double t, meter_shape shape) {
  std::string s;
  put_be32(s, static_cast<uint32_t>(id));
  for (const auto& [group, item] : items) {
    if (group == 0xAA && item == 0) {
      for (int i = 0; i < kRtaBands; ++i) put_be16(s, rta[i]);
      continue;
    }
    // Four levels per item (input, output, gate, gain reduction), gently moving, in 1/256 dB.
    const double base = -20.0 - (group - 0xA0) * 1.5 - item * 0.4;
    for (int k = 0; k < 4; ++k) {
      const double db = base + 6.0 * std::sin(t * (1.1 + 0.3 * k) + item) - k * 6.0;
      put_be16(s, static_cast<int>(std::lround(std::clamp(db, -127.0, 0.0) * 256.0)));
    }
  }
  if (shape == meter_shape::short_datagram && s.size() > static_cast<size_t>(kShortMeterDatagram))
    s.resize(kShortMeterDatagram);
  if (shape == meter_shape::long_datagram)
    for (int k = 0; k < kLongMeterExtra / 2; ++k) put_be16(s, -96 * 256);
  return s;
}

std::string hex_of(const std::string& bytes) {
  std::string text(3 * bytes.size() + 1, '\0');
  const int n = wFormatHex(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()),
                           text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string frame_for_send(const std::string& bytes) {
  const size_t escapes = static_cast<size_t>(std::count(bytes.begin(), bytes.end(), static_cast<char>(kEscape)));
  std::string buf = bytes;
  buf.resize(bytes.size() + escapes);
  const int n = wSendEscapes(reinterpret_cast<unsigned char*>(buf.data()), static_cast<int>(bytes.size()));
  buf.resize(static_cast<size_t>(n));
  return buf;
}

}  // namespace mixsim
