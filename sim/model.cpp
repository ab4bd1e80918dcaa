// SPDX-License-Identifier: MIT
// Start-up values, definitions and animation of the simulated console's parameters.
#include "model.h"

#include <mixlink/dictionary.h>
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include <algorithm>
#include <cctype>
#include <cmath>

using namespace mixlink;

namespace mixsim {

namespace {

std::vector<std::string> components(const char* path) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '.') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(*p);
    }
  }
  out.push_back(cur);
  return out;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool is_number(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// The first numbered component of a path ("ch.12.eq.3.f" gives 12), 1 when there is none.
int instance_of(const std::vector<std::string>& parts) {
  for (const auto& s : parts)
    if (is_number(s) && s.size() < 6) return std::stoi(s);
  return 1;
}

// The band of an EQ-like leaf: the number just above it, or digits in its own name.
int band_of(const std::vector<std::string>& parts) {
  if (parts.size() >= 2 && is_number(parts[parts.size() - 2]) && parts[parts.size() - 2].size() < 4)
    return std::stoi(parts[parts.size() - 2]);
  int b = 0;
  for (char c : parts.back())
    if (std::isdigit(static_cast<unsigned char>(c))) b = b * 10 + (c - '0');
  return b > 0 && b < 100 ? b : 1;
}

bool path_has(const std::vector<std::string>& parts, const char* word) {
  for (const auto& s : parts)
    if (lower(s) == word) return true;
  return false;
}

bool one_of(const std::string& s, std::initializer_list<const char*> words) {
  for (const char* w : words)
    if (s == w) return true;
  return false;
}

param_kind classify(const w_node& row) {
  if (row.type < W_INTEGER) return param_kind::container;
  const auto parts = components(row.path);
  std::string name = lower(parts.back());
  const bool read_only = !name.empty() && name[0] == '$';
  if (read_only) name.erase(0, 1);
  if (row.type == W_STRING) return name == "name" ? param_kind::name : param_kind::text;
  if (row.type == W_FLOAT) {
    if (read_only) return param_kind::level_meter;
    if (one_of(name, {"fdr", "fader", "lvl", "level", "vol"})) return param_kind::fader;
    if (one_of(name, {"pan", "bal"})) return param_kind::pan;
    if (one_of(name, {"wid", "width"})) return param_kind::width;
    if (one_of(name, {"f", "freq", "frq", "hz", "lcf", "hcf", "hpf", "lpf", "lc", "hc", "hp", "lp", "cf"}))
      return param_kind::frequency;
    if (one_of(name, {"g", "gain", "trim", "makeup", "mgain", "boost", "cut", "lsg"})) return param_kind::gain;
    if (one_of(name, {"q", "bw"})) return param_kind::q;
    if (one_of(name, {"thr", "thresh", "threshold"})) return param_kind::threshold;
    if (one_of(name, {"ratio", "rat"})) return param_kind::ratio;
    if (one_of(name, {"att", "attack", "rel", "release", "hold", "dly", "delay", "time", "m", "ms"}))
      return param_kind::time_ms;
    return param_kind::float_generic;
  }
  if (one_of(name, {"on", "mute", "solo", "inv", "lock", "led", "link", "en", "enable", "act", "bypass",
                    "byp", "sw", "phase", "excl", "dim", "mono", "tb", "pfl", "afl", "muteovr"}))
    return param_kind::toggle;
  if (one_of(name, {"col", "color", "colour"})) return param_kind::colour;
  if (name == "icon") return param_kind::icon;
  if (one_of(name, {"mode", "type", "sel", "src", "source", "slope", "model", "conn", "grp", "tap", "pos"}))
    return param_kind::choice;
  return param_kind::int_generic;
}

std::string token_of(unsigned char code, w_value v, const char* text = nullptr, int n = 0) {
  unsigned char buf[300];
  const int len = wEncodeToken(code, v, text, n, buf, sizeof buf);
  return std::string(reinterpret_cast<const char*>(buf), static_cast<size_t>(len > 0 ? len : 0));
}

std::string float_token(float f, unsigned char code = kTokFloat) {
  w_value v;
  v.f = f;
  return token_of(code, v);
}

std::string int_token(int32_t i) {
  unsigned char buf[8];
  return std::string(reinterpret_cast<const char*>(buf), static_cast<size_t>(wEncodeInt(i, buf)));
}

std::string string_token(const std::string& s) {
  unsigned char buf[300];
  const int len = wEncodeString(s.data(), static_cast<int>(s.size()), buf);
  return std::string(reinterpret_cast<const char*>(buf), static_cast<size_t>(len));
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// "ch.12.name" gives "CH 12"; "io.in.A.3.name" gives "IN A 3": the strip's own label.
std::string label_of(const std::vector<std::string>& parts) {
  std::string family = parts.front();
  if (!family.empty() && family[0] == '$') family.erase(0, 1);
  std::string label;
  if (parts.size() >= 3 && is_number(parts[1])) {
    label = upper(family) + " " + parts[1];
    for (size_t i = 2; i + 1 < parts.size(); ++i) label += " " + upper(parts[i]);
  } else {
    for (size_t i = 1; i + 1 < parts.size(); ++i) label += (label.empty() ? "" : " ") + upper(parts[i]);
    if (label.empty()) label = upper(family);
  }
  if (label.size() > 16) label.resize(16);
  return label;
}

float start_float(param_kind k, const std::vector<std::string>& parts) {
  const std::string name = lower(parts.back());
  const std::string family = lower(parts.front());
  switch (k) {
    case param_kind::fader: {
      // Sends and the upper channels start closed; the first strips and all outputs stand at 0 dB.
      if (path_has(parts, "send")) return -144.0f;
      if (family == "ch" || family == "aux") return instance_of(parts) <= 8 ? 0.0f : -144.0f;
      return 0.0f;
    }
    case param_kind::pan: return 0.0f;
    case param_kind::width: return 100.0f;
    case param_kind::frequency: {
      if (one_of(name, {"lc", "lcf", "hp", "hpf"})) return 80.0f;
      if (one_of(name, {"hc", "hcf", "lp", "lpf"})) return 18000.0f;
      static const float bands[] = {80.0f, 250.0f, 1000.0f, 3500.0f, 8000.0f, 12000.0f};
      return bands[(band_of(parts) - 1) % 6];
    }
    case param_kind::gain: return 0.0f;
    case param_kind::q: return 0.7f;
    case param_kind::threshold: return path_has(parts, "gate") ? -80.0f : -20.0f;
    case param_kind::ratio: return 3.0f;
    case param_kind::time_ms:
      if (one_of(name, {"att", "attack"})) return 10.0f;
      if (one_of(name, {"rel", "release"})) return 100.0f;
      if (name == "hold") return 20.0f;
      return 0.5f;
    case param_kind::level_meter: return -30.0f;
    default: return 0.0f;
  }
}

std::string start_text(const std::vector<std::string>& parts);

std::string start_value(const w_node& row, param_kind k) {
  const auto parts = components(row.path);
  switch (k) {
    case param_kind::container: return {};
    case param_kind::name: return string_token(label_of(parts));
    case param_kind::text: return string_token(start_text(parts));
    case param_kind::toggle: {
      w_value v;
      v.i = 1;
      // Processing blocks start engaged (the toggle code), switches such as mute start off.
      return lower(parts.back()) == "on" ? token_of(kTokToggle, v) : int_token(0);
    }
    case param_kind::colour: return int_token((instance_of(parts) - 1) % 12 + 1);
    case param_kind::icon: {
      w_value v;
      v.i = 0;
      // The offset code reads back as instance 1 to 64.
      return token_of(static_cast<unsigned char>(kTokOffsetIntFirst + (instance_of(parts) - 1) % 64), v);
    }
    case param_kind::choice: return int_token(0);
    case param_kind::int_generic: return int_token(0);
    case param_kind::node_ref: return {};
    case param_kind::level_meter: return float_token(start_float(k, parts), kTokFloatAlt);
    default: return float_token(start_float(k, parts));
  }
}

// Plausible start-up texts by leaf name; settings without a sensible default start empty.
std::string start_text(const std::vector<std::string>& parts) {
  std::string name = lower(parts.back());
  if (!name.empty() && name[0] == '$') name.erase(0, 1);
  struct text_default { const char* name; const char* text; };
  static const text_default defaults[] = {
      {"mode", "STD"},     {"tap", "POST"},      {"src", "OFF"},       {"mdl", "STD"},
      {"grp", "OFF"},      {"type", "STD"},      {"ins", "NONE"},      {"det", "PEAK"},
      {"env", "LOG"},      {"srate", "48000"},   {"rate", "48000"},    {"clkrate", "48000"},
      {"clksrc", "INT"},   {"clkin", "AES"},     {"stat", "OK"},       {"dev", "NONE"},
      {"port", "USB"},     {"format", "WAV"},    {"usbmode", "AUDIO"}, {"lang", "EN"},
      {"units", "METRIC"}, {"ratio", "3.0"},     {"uptime", "3d 00:20:34"}, {"time", "12:00:00"},
      {"date", "2024-01-01"}, {"ipaddr", "127.0.0.1"}, {"netmask", "255.255.255.0"},
      {"gateway", "0.0.0.0"}, {"mac", "02:00:00:00:00:01"}, {"mac2", "02:00:00:00:00:02"},
      {"model", "SIM-48"}, {"serial", "S0000001"}, {"fwver", "0.1.0-sim"}, {"hwver", "1"},
      {"bootver", "0.1.0"}, {"lockpin", "0000"}, {"pos", "0:00"}, {"len", "3:45"},
      {"consolename", "Sim Console"},
  };
  if (name == "mode" && path_has(parts, "send")) return "POST";
  for (const text_default& d : defaults)
    if (name == d.name) return d.text;
  return "";
}

bool in_class(unsigned char first, unsigned char code) {
  if (code == kTokSmallIntFirst) return first <= kTokSmallIntLast;
  if (code == kTokOffsetIntFirst) return first >= kTokOffsetIntFirst && first <= kTokOffsetIntLast;
  if (code == kTokShortStrFirst) return first >= kTokShortStrFirst && first <= kTokShortStrLast;
  if (code == kTokTinyStrFirst) return first >= kTokTinyStrFirst && first <= kTokTinyStrLast;
  return first == code;
}

const char* kLongText =
    "This console is simulated: every value lives in memory, starts plausible and changes only when a "
    "client or the animation changes it. Nothing here is a real device.";  // 160 bytes

uint32_t first_with_code(const std::vector<std::string>& values, unsigned char code) {
  for (size_t t = 1; t < values.size(); ++t)
    if (!values[t].empty() && static_cast<unsigned char>(values[t][0]) == code) return static_cast<uint32_t>(t);
  return 0;
}

void put_def_token(std::string& d, const std::string& t) { d += t; }

}  // namespace

console_model::console_model(unsigned seed) : seed_(seed) {
  values_.resize(wds_imax);
  kinds_.resize(wds_imax);
  for (int t = 0; t < wds_imax; ++t) {
    kinds_[t] = t == 0 ? param_kind::container : classify(wingdataset[t]);
    values_[t] = start_value(wingdataset[t], kinds_[t]);
  }

  // Every value-token class must occur somewhere, so that clients can be tested against each.
  // Classes the start-up values lack are given to otherwise plain leaves, the first unclaimed
  // ones in dictionary order.
  examples_ = {
      {kTokSmallIntFirst, "small integer", 0}, {kTokOffsetIntFirst, "offset integer", 0},
      {kTokShortStrFirst, "short string", 0},  {kTokTinyStrFirst, "tiny string", 0},
      {kTokEmptyStr, "empty string", 0},       {kTokLongStr, "long string", 0},
      {kTokInt16, "16-bit integer", 0},        {kTokInt16Alt, "16-bit integer (second code)", 0},
      {kTokInt32, "32-bit integer", 0},        {kTokFloat, "float", 0},
      {kTokFloatAlt, "float (second code)", 0}, {kTokNodeHash, "node hash", 0},
      {kTokToggle, "toggle", 0},               {kTokByte, "byte integer", 0},
  };
  std::vector<bool> claimed(wds_imax, false);
  auto first_unclaimed = [&](param_kind want, int type) -> uint32_t {
    for (int t = 1; t < wds_imax; ++t)
      if (!claimed[t] && kinds_[t] == want && (type < 0 || wingdataset[t].type == type)) return static_cast<uint32_t>(t);
    return 0;
  };
  auto give = [&](uint32_t t, const std::string& bytes) {
    if (t == 0) return;
    values_[t] = bytes;
    claimed[t] = true;
  };
  // Prefer a named leaf where one fits the class; else the first unclaimed leaf of the kind.
  auto pick = [&](const char* path, param_kind want, int type) -> uint32_t {
    const uint32_t t = wGetTokenFromName(path);
    if (t != 0 && !claimed[t] && wingdataset[t].type >= W_INTEGER) return t;
    return first_unclaimed(want, type);
  };
  w_value v;
  // A user-control slot holds the node it is assigned to: the first channel's mute.
  {
    uint32_t target = wGetTokenFromName("ch.1.mute");
    if (target == 0) target = 1;
    v.hash = wingdataset[target].hash;
    uint32_t slot = first_unclaimed(param_kind::int_generic, W_INTEGER_KIND);
    if (slot == 0) slot = first_unclaimed(param_kind::int_generic, W_INTEGER);
    if (slot != 0) kinds_[slot] = param_kind::node_ref;
    give(slot, token_of(kTokNodeHash, v));
  }
  give(pick("play.$path", param_kind::text, -1), string_token("/usb/shows/soundcheck/playback"));
  give(pick("play.$file", param_kind::text, -1), string_token("walk-in music, side A.wav"));
  give(pick("$ctl.user.1.1.ltxt", param_kind::text, -1), string_token(kLongText));
  v.i = -12;  // clock deviation in ppm
  give(pick("$stat.ppm", param_kind::int_generic, W_INTEGER), token_of(kTokInt16, v));
  give(pick("$syscfg.locktimeout", param_kind::int_generic, W_INTEGER), int_token(1800));
  v.i = 1000;
  if (first_with_code(values_, kTokInt16Alt) == 0)
    give(first_unclaimed(param_kind::int_generic, W_INTEGER), token_of(kTokInt16Alt, v));
  v.i = 100000;
  give(pick("play.cnt", param_kind::int_generic, W_INTEGER), token_of(kTokInt32, v));
  give(pick("$syscfg.brightness", param_kind::int_generic, W_INTEGER), int_token(200));
  give(pick("$syscfg.ledbright", param_kind::int_generic, W_INTEGER), int_token(180));
  give(pick("$syscfg.scrsaver", param_kind::int_generic, W_INTEGER), int_token(600));
  give(pick("$stat.cpu", param_kind::int_generic, W_INTEGER), int_token(37));
  give(pick("$stat.temp", param_kind::int_generic, W_INTEGER), int_token(41));
  if (first_with_code(values_, kTokFloatAlt) == 0)
    give(first_unclaimed(param_kind::float_generic, -1), float_token(-30.0f, kTokFloatAlt));

  for (auto& ex : examples_) {
    for (int t = 1; t < wds_imax && ex.token == 0; ++t)
      if (!values_[t].empty() && in_class(static_cast<unsigned char>(values_[t][0]), ex.code))
        ex.token = static_cast<uint32_t>(t);
  }

  // The animated parameters: the first channel's fader and mute, and a meter-like level.
  auto find = [&](const char* path, param_kind fallback) -> uint32_t {
    const uint32_t t = wGetTokenFromName(path);
    if (t != 0 && wingdataset[t].type >= W_INTEGER) return t;
    for (int i = 1; i < wds_imax; ++i)
      if (kinds_[i] == fallback) return static_cast<uint32_t>(i);
    return 0;
  };
  fader_ = find("ch.1.fdr", param_kind::fader);
  mute_ = find("ch.1.mute", param_kind::toggle);
  gain_ = find("cfg.mon.1.$lvl", param_kind::level_meter);
}

const std::string& console_model::value(uint32_t token) const {
  static const std::string none;
  return token < values_.size() ? values_[token] : none;
}

std::string console_model::definition(uint32_t token) const {
  if (token >= static_cast<uint32_t>(wds_imax)) return {};
  const w_node& row = wingdataset[token];
  std::string d;
  d.push_back(static_cast<char>(row.type));
  const param_kind k = kinds_[token];
  auto range_f = [&](float lo, float hi, const char* unit, unsigned char scale) {
    d.push_back(static_cast<char>(kDefFloatRange));
    put_def_token(d, float_token(lo));
    put_def_token(d, float_token(hi));
    put_def_token(d, string_token(unit));
    d.push_back(static_cast<char>(scale));
  };
  auto range_i = [&](int lo, int hi, const char* unit) {
    d.push_back(static_cast<char>(kDefIntRange));
    put_def_token(d, int_token(lo));
    put_def_token(d, int_token(hi));
    put_def_token(d, string_token(unit));
  };
  auto choices = [&](std::initializer_list<const char*> names) {
    d.push_back(static_cast<char>(kDefChoices));
    put_def_token(d, int_token(static_cast<int>(names.size())));
    for (const char* n : names) put_def_token(d, string_token(n));
  };
  switch (k) {
    case param_kind::container: {
      // The true leaf count below it, whatever the stored count says, and its direct children,
      // stepped through by their subtree ends (row 0 stands above the top-level nodes).
      const uint32_t first = token + 1;
      const uint32_t end = token == 0 ? static_cast<uint32_t>(wds_imax) : wNodeSubtreeEnd(token);
      int leaves = 0, children = 0;
      for (uint32_t child = first; child < end; child = wNodeSubtreeEnd(child)) {
        ++children;
        leaves += wNodeLeafCount(child);
      }
      d.push_back(static_cast<char>(kDefContainer));
      put_def_token(d, int_token(leaves));
      put_def_token(d, int_token(children));
      break;
    }
    case param_kind::fader: range_f(-144.0f, 10.0f, "dB", kScaleFader); break;
    case param_kind::level_meter: range_f(-144.0f, 0.0f, "dB", kScaleFader); break;
    case param_kind::pan: range_f(-100.0f, 100.0f, "", kScaleLinear); break;
    case param_kind::width: range_f(0.0f, 150.0f, "%", kScaleLinear); break;
    case param_kind::frequency: range_f(20.0f, 20000.0f, "Hz", kScaleLog); break;
    case param_kind::gain: range_f(-15.0f, 15.0f, "dB", kScaleLinear); break;
    case param_kind::q: range_f(0.44f, 10.0f, "", kScaleLog); break;
    case param_kind::threshold: range_f(-80.0f, 0.0f, "dB", kScaleLinear); break;
    case param_kind::ratio: range_f(1.1f, 100.0f, "", kScaleLog); break;
    case param_kind::time_ms: range_f(0.0f, 3000.0f, "ms", kScaleLog); break;
    case param_kind::float_generic: range_f(0.0f, 100.0f, "", kScaleLinear); break;
    case param_kind::name: d.push_back(static_cast<char>(kDefText)); put_def_token(d, int_token(16)); break;
    case param_kind::text: d.push_back(static_cast<char>(kDefText)); put_def_token(d, int_token(256)); break;
    case param_kind::toggle: choices({"OFF", "ON"}); break;
    case param_kind::colour: range_i(1, 12, ""); break;
    case param_kind::icon: range_i(1, 64, ""); break;
    case param_kind::choice: choices({"A", "B", "C", "D"}); break;
    case param_kind::int_generic: range_i(-2147483647 - 1, 2147483647, ""); break;
    case param_kind::node_ref: d.push_back(static_cast<char>(kDefNodeRef)); break;
  }
  return d;
}

std::vector<uint32_t> console_model::animate(double t) {
  std::vector<uint32_t> changed;
  const double phase = std::fmod(t + seed_ * 0.37, 8.0);
  if (fader_ != 0 && wingdataset[fader_].type == W_FLOAT) {
    // A slow triangle from -60 dB up to +5 dB and back, in 0.5 dB steps.
    const double tri = phase < 4.0 ? phase / 4.0 : (8.0 - phase) / 4.0;
    const float db = static_cast<float>(std::round((-60.0 + 65.0 * tri) * 2.0) / 2.0);
    const std::string bytes = float_token(db);
    if (bytes != values_[fader_]) {
      values_[fader_] = bytes;
      changed.push_back(fader_);
    }
  }
  if (mute_ != 0) {
    const bool on = static_cast<long>(std::floor(t)) % 2 == 1;
    if (on != mute_on_) {
      mute_on_ = on;
      w_value v;
      v.i = 1;
      values_[mute_] = on ? token_of(kTokToggle, v) : int_token(0);
      changed.push_back(mute_);
    }
  }
  if (gain_ != 0 && wingdataset[gain_].type == W_FLOAT) {
    // Like a programme meter: a fast wobble over a slower swell, never above 0 dB.
    const double lvl = -24.0 + 10.0 * std::sin(t * 0.9) + 6.0 * std::sin(t * 7.3 + seed_);
    values_[gain_] = float_token(static_cast<float>(std::min(0.0, lvl)), kTokFloatAlt);
    changed.push_back(gain_);
  }
  if (!changed.empty()) ++version_;
  return changed;
}

}  // namespace mixsim
