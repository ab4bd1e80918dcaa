// SPDX-License-Identifier: MIT
// Parsing mixsim's command line.
#include "options.h"

#include <mixlink/version.h>

#include <charconv>
#include <cstdio>
#include <string_view>

namespace mixsim {

namespace {

const char kUsage[] =
    "usage: mixsim [options]\n"
    "A simulated console speaking the native protocol: TCP and UDP at the native port (--port)\n"
    "on the bind address, meter datagrams to each client's address at the UDP port it names.\n"
    "Options take their value as the next argument or after '=' (--port=2223).\n"
    "\n"
    "  --bind ADDR              address to listen on (default 127.0.0.1; 0.0.0.0 only when asked)\n"
    "  --port N                 native and discovery port (default 2222)\n"
    "  --rate HZ                meter datagrams per second and subscription (default 20)\n"
    "  --animate                move ch.1's fader and mute and a meter-like level, sent as events\n"
    "  --quiet                  no log lines on standard error\n"
    "  --seed N                 seed of the meter noise and the fault injection (default 1)\n"
    "  --definitions FORM       short, long or mixed (default: long for containers, short for leaves)\n"
    "  --queue-limit BYTES      bound of each client's output queue (default 4194304); over it the\n"
    "                           client's requests wait, and after 10 s over it the client is closed\n"
    "  --feedback BAND          let RTA band BAND (0 to 119) build up like a feedback loop: in every\n"
    "                           20 s, from second 5 it climbs above the spectrum by --feedback-growth\n"
    "                           meter units a second up to full scale, rings there until second 15,\n"
    "                           then is gone\n"
    "  --feedback-growth UNITS  how fast the feedback band climbs (default 800 a second)\n"
    "  --list-codes             print which leaf carries which value-token code, and exit\n"
    "  --version                print the version and exit\n"
    "fault injection:\n"
    "  --split N                send every reply in segments of N bytes, 5 ms apart\n"
    "  --latency MS             delay every reply and event by MS milliseconds\n"
    "  --close-after-seconds S  close each client S seconds after it connected\n"
    "  --close-after-bytes N    close each client once N bytes have been sent to it\n"
    "  --garbage                before each reply send junk or another node's entry, 20 ms ahead\n"
    "  --short-meters           cut meter datagrams to 100 bytes\n"
    "  --long-meters            add 76 bytes to every meter datagram\n"
    "  --ignore-keepalive       do not answer requests for $syscfg.consolename\n"
    "\n"
    "Replies: a leaf's value request gets 0xD7 hash value; a container's one such entry per leaf\n"
    "below it, then the byte 0xDE; an unknown hash gets nothing. The map-size query 0xDA 0xDC gets\n"
    "0xDA, then the row and leaf counts as 0xD4 tokens. Definition replies begin 0xDF: short form\n"
    "DF len(2) parent(4) hash(4) definition, long form DF 00 00 len(4) parent(4) hash(4) definition;\n"
    "the definition is the node type, a layout byte (1 int range, 2 float range, 3 text, 4 choices,\n"
    "5 container, 6 node reference) and its fields as value tokens.\n"
    "Meter datagrams: collection id (4 bytes), then per subscribed item 120 band values for the RTA\n"
    "(group 0xAA item 0) or 4 levels, all signed 16-bit big-endian. A subscription lapses 10 s after\n"
    "its last renewal; a client keeps at most 16 (a new one replaces its oldest).\n"
    "Exit status: 0 after SIGTERM or SIGINT, --help or --version; 1 when the sockets cannot be\n"
    "opened; 2 for a wrong command line.\n";

// How an option's value is read.
enum class value_kind { none, whole, decimal, text };

struct option_rule {
  const char* name;
  value_kind kind;
  double lo, hi;  // range of a number
};

const option_rule kOptions[] = {
    {"--bind", value_kind::text, 0, 0},
    {"--port", value_kind::whole, 1, 65535},
    {"--rate", value_kind::decimal, 0.1, 1000},
    {"--seed", value_kind::whole, 0, 4294967295.0},
    {"--split", value_kind::whole, 1, 1 << 20},
    {"--latency", value_kind::whole, 0, 60000},
    {"--close-after-seconds", value_kind::decimal, 0.001, 86400},
    {"--close-after-bytes", value_kind::whole, 1, 1e12},
    {"--queue-limit", value_kind::whole, 4096, 1 << 30},
    {"--definitions", value_kind::text, 0, 0},
    {"--feedback", value_kind::whole, 0, mixlink::kRtaValues - 1},
    {"--feedback-growth", value_kind::decimal, 1, 65536},
    {"--animate", value_kind::none, 0, 0},
    {"--quiet", value_kind::none, 0, 0},
    {"--garbage", value_kind::none, 0, 0},
    {"--short-meters", value_kind::none, 0, 0},
    {"--long-meters", value_kind::none, 0, 0},
    {"--ignore-keepalive", value_kind::none, 0, 0},
    {"--list-codes", value_kind::none, 0, 0},
};

// Reads the whole of text as a number of the given kind within [lo, hi].
bool read_number(std::string_view text, value_kind kind, double lo, double hi, double* out) {
  const char* first = text.data();
  const char* last = first + text.size();
  double v = 0;
  if (kind == value_kind::whole) {
    long long w = 0;
    const auto [end, ec] = std::from_chars(first, last, w);
    if (ec != std::errc() || end != last || text.empty()) return false;
    v = static_cast<double>(w);
  } else {
    // Fixed notation only: "1e3" is not a rate anyone means to type.
    const auto [end, ec] = std::from_chars(first, last, v, std::chars_format::fixed);
    if (ec != std::errc() || end != last || text.empty()) return false;
  }
  if (!(v >= lo && v <= hi)) return false;  // also refuses NaN
  *out = v;
  return true;
}

std::string range_text(const option_rule& s) {
  char b[96];
  if (s.kind == value_kind::whole)
    std::snprintf(b, sizeof b, "a whole number from %.0f to %.0f", s.lo, s.hi);
  else
    std::snprintf(b, sizeof b, "a number from %g to %g", s.lo, s.hi);
  return b;
}

// Four decimal numbers of 0 to 255 (no leading zeros) joined by dots: the one form of an
// IPv4 address that --bind takes.
bool is_dotted_quad(std::string_view text) {
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    int value = 0, digits = 0;
    const size_t first = i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4; ++i, ++digits)
      value = value * 10 + (text[i] - '0');
    if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[first] == '0')) return false;
    ++parts;
    if (parts < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  return i == text.size();
}

parse_outcome usage_error(std::string message) {
  return {parse_outcome::usage_error, std::move(message) + " (try 'mixsim --help')"};
}

// Stores one option's value; returns an empty text, or the usage error.
std::string apply(const option_rule& s, std::string_view value, double number, options& o) {
  const std::string_view name = s.name;
  if (name == "--bind") {
    o.bind = std::string(value);
    if (!is_dotted_quad(value)) return "--bind takes an IPv4 address, not '" + o.bind + "'";
  }
  else if (name == "--port") o.port = static_cast<int>(number);
  else if (name == "--rate") o.rate = number;
  else if (name == "--seed") o.seed = static_cast<unsigned>(number);
  else if (name == "--split") o.split = static_cast<int>(number);
  else if (name == "--latency") o.latency_ms = static_cast<int>(number);
  else if (name == "--close-after-seconds") o.close_after_seconds = number;
  else if (name == "--close-after-bytes") o.close_after_bytes = static_cast<long long>(number);
  else if (name == "--queue-limit") o.queue_bytes = static_cast<long>(number);
  else if (name == "--feedback") o.feedback_band = static_cast<int>(number);
  else if (name == "--feedback-growth") o.feedback_growth = number;
  else if (name == "--definitions") {
    if (value == "short") o.definitions = options::short_form;
    else if (value == "long") o.definitions = options::long_form;
    else if (value == "mixed") o.definitions = options::mixed;
    else return "--definitions takes short, long or mixed";
  } else if (name == "--animate") o.animate = true;
  else if (name == "--quiet") o.quiet = true;
  else if (name == "--garbage") o.garbage = true;
  else if (name == "--short-meters") o.meters = meter_shape::short_datagram;
  else if (name == "--long-meters") o.meters = meter_shape::long_datagram;
  else if (name == "--ignore-keepalive") o.ignore_keepalive = true;
  else if (name == "--list-codes") o.list_codes = true;
  return {};
}

}  // namespace

std::string version_line() { return "mixsim " MIXLINK_VERSION "\n"; }

parse_outcome parse_options(int argc, const char* const* argv, options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") return {parse_outcome::done, kUsage};
    if (arg == "--version") return {parse_outcome::done, version_line()};
    const size_t eq = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
    const std::string_view name = arg.substr(0, eq);
    const option_rule* rule = nullptr;
    for (const option_rule& s : kOptions)
      if (name == s.name) rule = &s;
    if (rule == nullptr) return usage_error("mixsim: unknown option " + std::string(arg));
    std::string_view value;
    if (rule->kind == value_kind::none) {
      if (eq != std::string_view::npos) return usage_error("mixsim: " + std::string(name) + " takes no value");
    } else if (eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return usage_error("mixsim: " + std::string(name) + " needs a value");
    }
    double number = 0;
    if ((rule->kind == value_kind::whole || rule->kind == value_kind::decimal) &&
        !read_number(value, rule->kind, rule->lo, rule->hi, &number))
      return usage_error("mixsim: " + std::string(name) + " takes " + range_text(*rule) + ", not '" +
                         std::string(value) + "'");
    const std::string error = apply(*rule, value, number, o);
    if (!error.empty()) return usage_error("mixsim: " + error);
  }
  return {};
}

}  // namespace mixsim
