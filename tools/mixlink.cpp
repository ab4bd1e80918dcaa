// mixlink: the library's operations from the shell. Output goes to stdout, one record a line,
// with whatever the console sent escaped (output.h); errors go to stderr; exit status 0 success,
// 1 failure, 2 usage. Every wait for the console is bounded by --timeout.
#include <mixlink/mixlink.h>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define STDOUT_FILENO 1
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "meter_recording.h"
#include "output.h"

using mixtool::float_text;
using mixtool::json_float;
using mixtool::json_string;
using mixtool::text_escaped;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;
constexpr int kMeterId = 3;
constexpr int kRenewSeconds = 5;
constexpr int kValueBytesPerLeaf = 300;  // name part, "=" and the longest value text
constexpr long kDefaultTimeoutMs = 5000;
constexpr int kPollUs = 500000;  // how long events and meters wait before looking around

volatile std::sig_atomic_t interrupted = 0;
void on_signal(int) { interrupted = 1; }

const char* const kUsage =
    "usage: mixlink [-a ADDRESS] [--timeout MS] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  discover               find a console on the local network and print its address\n"
    "  get PATH...            print PATH=VALUE<TAB>TYPE for each leaf\n"
    "  dump PATH              the container's text dump [--records | --json]\n"
    "  def PATH               the node's definition bytes, as hex\n"
    "  raw PATH               the node's raw reply, as hex\n"
    "  events                 print change events as they arrive [--count N]\n"
    "  meters                 print meter datagrams [--rta] [--count N] [--record FILE]\n"
    "                         or the RTA of a recording as CSV: --replay FILE --csv\n"
    "  nodes [PREFIX]         list dictionary rows: token, hash, type, path (no console)\n"
    "\n"
    "Without -a the console is found by a broadcast on the local network.\n"
    "--timeout MS bounds every wait for a reply (default 5000 milliseconds).\n"
    "Bytes the console sends in texts are shown escaped: \\xNN for control bytes and\n"
    "bytes that are not UTF-8, \\\\ for a backslash.\n"
    "Run 'mixlink COMMAND --help' for a command's options.\n";

struct Command {
  const char* name;
  const char* help;
};

const Command kCommands[] = {
    {"discover", "usage: mixlink discover\n"
                 "Broadcasts a discovery probe and prints the first console's address.\n"
                 "With -a ADDRESS, connects there instead and prints the address if it answers.\n"},
    {"get", "usage: mixlink [-a ADDRESS] [--timeout MS] get PATH...\n"
            "Reads each leaf and prints PATH=VALUE<TAB>TYPE (int, float, string, hash).\n"
            "--timeout MS  wait at most MS milliseconds for each value (default 5000)\n"},
    {"dump", "usage: mixlink [-a ADDRESS] dump PATH [--records | --json]\n"
             "Reads every leaf below the container PATH in one request.\n"
             "Default: the compact dump with names relative to the previous leaf.\n"
             "--records  one PATH<TAB>TYPE<TAB>VALUE line per leaf\n"
             "--json     one JSON object keyed by full path\n"},
    {"def", "usage: mixlink [-a ADDRESS] def PATH\n"
            "Prints the node's definition bytes as hex.\n"},
    {"raw", "usage: mixlink [-a ADDRESS] raw PATH\n"
            "Prints the reply to a read of PATH, as received, as hex.\n"},
    {"events", "usage: mixlink [-a ADDRESS] events [--count N]\n"
               "Prints PATH=VALUE<TAB>TYPE for each change event until interrupted.\n"
               "--count N  stop after N events\n"},
    {"meters", "usage: mixlink [-a ADDRESS] meters [--rta] [--count N] [--port PORT] [--record FILE]\n"
               "       mixlink meters --replay FILE --csv [--port PORT]\n"
               "Subscribes to the RTA meter block and prints each datagram as LENGTH<TAB>HEX.\n"
               "--rta        show the 120 RTA values as a bar chart (redrawn in place on a\n"
               "             terminal, one line per datagram otherwise)\n"
               "--count N    stop after N datagrams\n"
               "--port PORT  local UDP port for the datagrams (default 10026)\n"
               "--record FILE  write every datagram to FILE (a pcap file) instead of printing it\n"
               "             (--rta still draws the chart)\n"
               "--replay FILE --csv  print the RTA datagrams to PORT in the recording FILE, one\n"
               "             line each: seconds since the first, then the 120 values; no console\n"},
    {"nodes", "usage: mixlink nodes [PREFIX]\n"
              "Lists dictionary rows as TOKEN<TAB>HASH<TAB>TYPE<TAB>PATH: the subtree of PREFIX\n"
              "when it names a node, else every path starting with PREFIX (any letter case).\n"},
};

const char* command_help(const std::string& name) {
  for (const auto& c : kCommands)
    if (name == c.name) return c.help;
  return nullptr;
}

int usage_error(const std::string& command, const char* message) {
  std::fprintf(stderr, "mixlink: %s\n", message);
  const char* help = command_help(command);
  std::fputs(help ? help : kUsage, stderr);
  return kExitUsage;
}

bool parse_int(const char* s, long low, long high, long* out) {
  if (s == nullptr || *s == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  *out = v;
  return true;
}

const char* type_name(int value_type) {
  switch (value_type) {
    case W_VALUE_HASH: return "hash";
    case W_VALUE_INT: return "int";
    case W_VALUE_FLOAT: return "float";
    case W_VALUE_STRING: return "string";
    default: return "unknown";
  }
}

const char* node_type_name(int node_type) {
  switch (node_type) {
    case W_CONTAINER: return "node";
    case W_INTEGER: return "int";
    case W_FLOAT: return "float";
    case W_STRING: return "string";
    case W_INTEGER_KIND: return "int-kind";
    default: return "unknown";
  }
}

// A record's value as text; strings escaped.
std::string value_text(int type, const w_value& v) {
  char buf[16];
  switch (type) {
    case W_VALUE_HASH: std::snprintf(buf, sizeof buf, "%08x", v.hash); return buf;
    case W_VALUE_INT: return std::to_string(v.i);
    case W_VALUE_FLOAT: return float_text(v.f);
    case W_VALUE_STRING: return v.s ? text_escaped(v.s) : "";
    default: return "";
  }
}

std::string json_value(int type, const w_value& v) {
  switch (type) {
    case W_VALUE_STRING: return json_string(v.s ? v.s : "");
    case W_VALUE_FLOAT: return json_float(v.f);
    case W_VALUE_HASH: return json_string(value_text(type, v));
    default: return value_text(type, v);
  }
}

void print_hex(const unsigned char* data, int length) {
  for (int i = 0; i < length; ++i) std::printf("%02x%s", data[i], i + 1 < length ? " " : "");
  std::printf("\n");
}

// Pushes out what was printed; false once the reader has gone (a closed pipe) or writing failed.
bool output_flows() { return std::fflush(stdout) == 0 && !std::ferror(stdout); }

// Resolves PATH to a token, reporting an unknown path; 0 when it is not a node.
uint32_t token_of(const char* path) {
  const uint32_t token = wGetTokenFromName(path);
  if (token == 0) std::fprintf(stderr, "mixlink: %s: no such node\n", path);
  return token;
}

// Says why a read of what gave result r (0: nothing within the time-out).
void read_failed(const char* what, const std::string& path, int r, long timeout_ms) {
  if (r == 0)
    std::fprintf(stderr, "mixlink: %s of %s: no reply within %ld ms\n", what, path.c_str(), timeout_ms);
  else
    std::fprintf(stderr, "mixlink: %s of %s failed (%d)\n", what, path.c_str(), r);
}

// ---- Connection ----

struct Session {
  bool open = false;
  ~Session() {
    if (open) wClose();
  }
};

int connect_console(const std::string& address, Session& session) {
  char text[64] = "";
  std::snprintf(text, sizeof text, "%s", address.c_str());
  const int r = wOpen(text);
  if (r != 1) {
    if (address.empty())
      std::fprintf(stderr, "mixlink: no console found (%d)\n", r);
    else
      std::fprintf(stderr, "mixlink: cannot connect to %s (%d)\n", address.c_str(), r);
    return kExitFail;
  }
  session.open = true;
  return kExitOk;
}

// The keep-alive that is due, and the receive side's state: false (said on stderr) once the
// console has gone.
bool console_alive() {
  if (wKeepAlive() != 1) {
    std::fprintf(stderr, "mixlink: the console does not answer any more (keep-alive failed)\n");
    return false;
  }
  if (wLinkState() != 1) {
    std::fprintf(stderr, "mixlink: the console closed the connection\n");
    return false;
  }
  return true;
}

struct Options {
  std::string address;
  long timeout_ms = kDefaultTimeoutMs;
  int timeout_us() const { return static_cast<int>(timeout_ms * 1000); }
};

// ---- Commands ----

int cmd_discover(const Options& o) {
  if (!o.address.empty()) {
    Session s;
    if (connect_console(o.address, s) != kExitOk) return kExitFail;
    std::printf("%s\n", o.address.c_str());
    return kExitOk;
  }
  char found[64] = "";
  const int r = wSearchWING(found);
  if (r != 1) {
    std::fprintf(stderr, "mixlink: no console found (%d)\n", r);
    return kExitFail;
  }
  std::printf("%s\n", found);
  return kExitOk;
}

// Reads one leaf with the converting read of its kind, so that events and other replies in front
// of its reply are passed over; returns the read's result with the value text and its type.
int read_leaf(uint32_t token, int timeout_us, std::string* value, const char** type) {
  int r = 0;
  switch (wGetType(token)) {
    case W_FLOAT: {
      float f = 0;
      r = wGetTokenFloatTimed(token, &f, timeout_us);
      *value = float_text(f);
      *type = "float";
      break;
    }
    case W_STRING: {
      // The empty string is the one no-value result that writes the text.
      char text[257] = "?";
      r = wGetTokenStringTimed(token, text, timeout_us);
      if (r == 0 && text[0] == '\0') r = 1;
      *value = text_escaped(text);
      *type = "string";
      break;
    }
    default: {
      int i = 0;
      r = wGetTokenIntTimed(token, &i, timeout_us);
      *value = std::to_string(i);
      *type = "int";
      break;
    }
  }
  if (r != -1) return r;
  // The value is a node hash (a control assigned to a node), which only the raw read hands over.
  int t = 0;
  w_value v{};
  r = wGetTokenTimed(token, &t, &v, timeout_us);
  if (r == 1 && t == W_VALUE_HASH) {
    *value = value_text(t, v);
    *type = "hash";
    return 1;
  }
  if (r == 1 && t == W_VALUE_STRING) std::free(v.s);
  return r == 1 ? -1 : r;
}

int cmd_get(const Options& o, const std::vector<std::string>& args) {
  std::vector<std::string> paths;
  for (const auto& a : args) {
    if (a.size() > 1 && a[0] == '-') return usage_error("get", ("unknown option " + a).c_str());
    paths.push_back(a);
  }
  if (paths.empty()) return usage_error("get", "no PATH given");
  Session s;
  if (connect_console(o.address, s) != kExitOk) return kExitFail;
  int status = kExitOk;
  for (const auto& path : paths) {
    const uint32_t token = token_of(path.c_str());
    if (token == 0) {
      status = kExitFail;
      continue;
    }
    if (wGetType(token) == W_CONTAINER) {
      std::fprintf(stderr, "mixlink: %s is a container (use dump)\n", path.c_str());
      status = kExitFail;
      continue;
    }
    std::string value;
    const char* type = "";
    const int r = read_leaf(token, o.timeout_us(), &value, &type);
    if (r == 0) {
      std::fprintf(stderr, "mixlink: %s: no value within %ld ms\n", path.c_str(), o.timeout_ms);
      status = kExitFail;
      continue;
    }
    if (r != 1) {
      std::fprintf(stderr, "mixlink: %s: read failed (%d)\n", path.c_str(), r);
      status = kExitFail;
      continue;
    }
    std::printf("%s=%s\t%s\n", wGetName(token), value.c_str(), type);
  }
  return status;
}

int cmd_dump(const Options& o, const std::vector<std::string>& args) {
  std::string path;
  bool records = false, json = false;
  for (const auto& a : args) {
    if (a == "--records") records = true;
    else if (a == "--json") json = true;
    else if (a.size() > 1 && a[0] == '-') return usage_error("dump", ("unknown option " + a).c_str());
    else if (path.empty()) path = a;
    else return usage_error("dump", "one PATH only");
  }
  if (path.empty()) return usage_error("dump", "no PATH given");
  if (records && json) return usage_error("dump", "--records and --json exclude each other");
  const uint32_t token = token_of(path.c_str());
  if (token == 0) return kExitFail;
  if (wGetType(token) != W_CONTAINER) {
    std::fprintf(stderr, "mixlink: %s is a leaf (use get)\n", path.c_str());
    return kExitFail;
  }
  Session s;
  if (connect_console(o.address, s) != kExitOk) return kExitFail;
  const int leaves = wNodeLeafCount(token);
  if (!records && !json) {
    const size_t capacity = static_cast<size_t>(leaves) * kValueBytesPerLeaf + 16;
    std::vector<char> text(capacity);
    const int r = wGetNodeTimed(token, text.data(), capacity, o.timeout_us());
    if (r != 1) {
      read_failed("dump", path, r, o.timeout_ms);
      return kExitFail;
    }
    std::string_view dump(text.data());
    if (!dump.empty() && dump.back() == '\n') dump.remove_suffix(1);
    std::printf("%s\n", text_escaped(dump).c_str());
    return kExitOk;
  }
  std::vector<w_token_value> recs(static_cast<size_t>(leaves));
  const int n = wGetNodeToTVArrayTimed(token, recs.data(), leaves, o.timeout_us());
  if (n != leaves) {
    for (int i = 0; i < n; ++i)
      if (recs[static_cast<size_t>(i)].type == W_VALUE_STRING) std::free(recs[static_cast<size_t>(i)].value.s);
    read_failed("dump", path, n, o.timeout_ms);
    return kExitFail;
  }
  if (json) std::printf("{");
  for (int i = 0; i < n; ++i) {
    const auto& rec = recs[static_cast<size_t>(i)];
    if (json)
      std::printf("%s\n  %s: %s", i ? "," : "", json_string(wGetName(rec.token)).c_str(),
                  json_value(rec.type, rec.value).c_str());
    else
      std::printf("%s\t%s\t%s\n", wGetName(rec.token), type_name(rec.type), value_text(rec.type, rec.value).c_str());
    if (rec.type == W_VALUE_STRING) std::free(rec.value.s);
  }
  if (json) std::printf("\n}\n");
  return kExitOk;
}

int one_path(const std::string& command, const std::vector<std::string>& args, std::string* path) {
  for (const auto& a : args) {
    if (a.size() > 1 && a[0] == '-') return usage_error(command, ("unknown option " + a).c_str());
    if (!path->empty()) return usage_error(command, "one PATH only");
    *path = a;
  }
  if (path->empty()) return usage_error(command, "no PATH given");
  return kExitOk;
}

int cmd_def(const Options& o, const std::vector<std::string>& args) {
  std::string path;
  if (int u = one_path("def", args, &path)) return u;
  const uint32_t token = token_of(path.c_str());
  if (token == 0) return kExitFail;
  Session s;
  if (connect_console(o.address, s) != kExitOk) return kExitFail;
  int length = 0;
  unsigned char* data = nullptr;
  const int r = wGetTokenDefTimed(token, &length, &data, o.timeout_us());
  if (r != 1) {
    read_failed("definition", path, r, o.timeout_ms);
    return kExitFail;
  }
  print_hex(data, length);
  std::free(data);
  return kExitOk;
}

int cmd_raw(const Options& o, const std::vector<std::string>& args) {
  std::string path;
  if (int u = one_path("raw", args, &path)) return u;
  const uint32_t token = token_of(path.c_str());
  if (token == 0) return kExitFail;
  Session s;
  if (connect_console(o.address, s) != kExitOk) return kExitFail;
  const int size = wNodeLeafCount(token) * kValueBytesPerLeaf + 256;
  std::vector<unsigned char> buf(static_cast<size_t>(size));
  const int n = wGetBinaryDataTimed(path.c_str(), buf.data(), size, o.timeout_us());
  if (n <= 0) {
    read_failed("raw read", path, n, o.timeout_ms);
    return kExitFail;
  }
  print_hex(buf.data(), n);
  return kExitOk;
}

bool parse_count(const std::string& command, const std::vector<std::string>& args, size_t* i,
                 long* count, int* status) {
  if (args[*i] != "--count") return false;
  if (*i + 1 >= args.size() || !parse_int(args[*i + 1].c_str(), 1, 1000000000, count)) {
    *status = usage_error(command, "--count needs a positive number");
    return true;
  }
  ++*i;
  return true;
}

int cmd_events(const Options& o, const std::vector<std::string>& args) {
  long count = -1;
  for (size_t i = 0; i < args.size(); ++i) {
    int status = kExitOk;
    if (parse_count("events", args, &i, &count, &status)) {
      if (status) return status;
      continue;
    }
    return usage_error("events", ("unknown argument " + args[i]).c_str());
  }
  Session s;
  if (connect_console(o.address, s) != kExitOk) return kExitFail;
  constexpr int kBatch = 256;
  std::vector<w_token_value> recs(kBatch);
  long seen = 0;
  while (!interrupted && (count < 0 || seen < count)) {
    if (!console_alive()) return kExitFail;
    const int n = wGetParsedEventsTimed(recs.data(), kBatch, kPollUs);
    if (n < 0) {
      if (interrupted) break;
      std::fprintf(stderr, "mixlink: event read failed (%d)\n", n);
      return kExitFail;
    }
    for (int i = 0; i < n; ++i) {
      auto& rec = recs[static_cast<size_t>(i)];
      if (count < 0 || seen < count) {
        std::printf("%s=%s\t%s\n", wGetName(rec.token), value_text(rec.type, rec.value).c_str(), type_name(rec.type));
        ++seen;
      }
      if (rec.type == W_VALUE_STRING) std::free(rec.value.s);
    }
    // The reader has gone (| head): the job is done.
    if (!output_flows()) return kExitOk;
  }
  return kExitOk;
}

// One text line of the 120 RTA values: each bar one character, taller glyphs for higher levels.
std::string rta_line(const unsigned char* datagram, int length) {
  static const char kLevels[] = " .:-=+*#%@";
  constexpr int kTop = static_cast<int>(sizeof kLevels) - 2;
  std::string line;
  for (int i = 0; i < mixlink::kRtaValues; ++i) {
    const int at = mixlink::kRtaHeaderBytes + 2 * i;
    int level = 0;
    if (at + 1 < length) {
      const int v = static_cast<int16_t>((datagram[at] << 8) | datagram[at + 1]);
      // The same curve the analyzer draws: full height at 0, nothing far below.
      const double h = std::pow((v + 32768.0) / 32768.0, 10.0);
      level = static_cast<int>(std::lround(h * kTop));
      if (level < 0) level = 0;
      if (level > kTop) level = kTop;
    }
    line += kLevels[level];
  }
  return line;
}

// Tells the console where meter datagrams go and subscribes to the RTA block.
bool subscribe_meters(long port) {
  if (wMeterUDPPort(static_cast<int>(port)) != 1) {
    std::fprintf(stderr, "mixlink: cannot open the meter port %ld\n", port);
    return false;
  }
  unsigned char bitmap[32] = {};
  bitmap[mixlink::kRtaBitmapRow] = mixlink::kRtaBitmapBit;
  if (wSetMetersRequest(kMeterId, bitmap) != 1) {
    std::fprintf(stderr, "mixlink: meter subscription failed\n");
    return false;
  }
  return true;
}

int cmd_meters(const Options& o, const std::vector<std::string>& args) {
  long count = -1, port = mixlink::kDefaultMeterPort;
  bool rta = false, csv = false;
  std::string record, replay;
  for (size_t i = 0; i < args.size(); ++i) {
    int status = kExitOk;
    if (parse_count("meters", args, &i, &count, &status)) {
      if (status) return status;
    } else if (args[i] == "--rta") {
      rta = true;
    } else if (args[i] == "--csv") {
      csv = true;
    } else if ((args[i] == "--record" || args[i] == "--replay") && i + 1 < args.size() && !args[i + 1].empty()) {
      (args[i] == "--record" ? record : replay) = args[i + 1];
      ++i;
    } else if (args[i] == "--port") {
      if (i + 1 >= args.size() || !parse_int(args[i + 1].c_str(), 1, 65535, &port))
        return usage_error("meters", "--port needs a port number (1 to 65535)");
      ++i;
    } else {
      return usage_error("meters", ("unknown argument " + args[i]).c_str());
    }
  }
  if (csv != !replay.empty() || (!replay.empty() && (rta || !record.empty() || count >= 0)))
    return usage_error("meters", "--replay FILE and --csv go together, without --rta, --record or --count");
  if (!replay.empty()) return mixtool::replay_csv(replay, static_cast<int>(port));
  mixtool::MeterRecording recording;
  if (!record.empty() && !recording.open(record)) {
    std::fprintf(stderr, "mixlink: cannot write %s: %s\n", record.c_str(), std::strerror(errno));
    return kExitFail;
  }
  Session s;
  if (connect_console(o.address, s) != kExitOk) return kExitFail;
  if (!subscribe_meters(port)) return kExitFail;
  const bool tty = rta && isatty(STDOUT_FILENO);
  // Renewals run on the monotonic clock: a step of the wall clock must not stop or rush them.
  using clock = std::chrono::steady_clock;
  clock::time_point renewed = clock::now();
  unsigned char datagram[256];
  unsigned char scratch[4096];
  long seen = 0;
  while (!interrupted && (count < 0 || seen < count)) {
    const clock::time_point now = clock::now();
    if (now - renewed >= std::chrono::seconds(kRenewSeconds)) {
      wRenewMeters(kMeterId);
      renewed = now;
    }
    // The datagrams come by UDP; the TCP side is read (and its keep-alive answers dropped) only
    // to notice when the console goes.
    wRecv(scratch, sizeof scratch, 1);
    if (!console_alive()) return kExitFail;
    // A keep-alive that had to reconnect has dropped the meter socket with the old connection.
    if (wMeterSocket() == W_NO_SOCKET && !subscribe_meters(port)) return kExitFail;
    uint32_t sender = 0;
    const int n = wMRecvFrom(datagram, 254, kPollUs, &sender);
    if (n < 0) {
      if (interrupted) break;
      std::fprintf(stderr, "mixlink: meter read failed (%d)\n", n);
      return kExitFail;
    }
    if (n == 0) continue;
    ++seen;
    if (recording.isOpen() && !recording.add(datagram, n, sender, static_cast<int>(port))) {
      std::fprintf(stderr, "mixlink: cannot write %s: %s\n", record.c_str(), std::strerror(errno));
      return kExitFail;
    }
    if (recording.isOpen() && !rta) {
      // Recorded, not printed.
    } else if (!rta) {
      std::printf("%d\t", n);
      print_hex(datagram, n);
    } else if (tty) {
      std::printf("\r%s", rta_line(datagram, n).c_str());
    } else {
      std::printf("%s\n", rta_line(datagram, n).c_str());
    }
    if (!output_flows()) return kExitOk;
  }
  if (tty) std::printf("\n");
  if (recording.isOpen() && !recording.close()) {
    std::fprintf(stderr, "mixlink: cannot write %s: %s\n", record.c_str(), std::strerror(errno));
    return kExitFail;
  }
  if (!record.empty()) std::fprintf(stderr, "mixlink: %ld datagrams recorded in %s\n", recording.count(), record.c_str());
  return kExitOk;
}

bool starts_with_nocase(const char* s, const std::string& prefix) {
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (s[i] == '\0') return false;
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(s[i]) != lower(prefix[i])) return false;
  }
  return true;
}

int cmd_nodes(const std::vector<std::string>& args) {
  std::string prefix;
  if (args.size() > 1) return usage_error("nodes", "one PREFIX only");
  if (!args.empty()) {
    if (args[0].size() > 1 && args[0][0] == '-')
      return usage_error("nodes", ("unknown option " + args[0]).c_str());
    prefix = args[0];
  }
  uint32_t first = 1, end = static_cast<uint32_t>(wds_imax);
  const uint32_t token = prefix.empty() ? 0 : wGetTokenFromName(prefix.c_str());
  if (token != 0) {
    first = token;
    end = wNodeSubtreeEnd(token);
  }
  int listed = 0;
  for (uint32_t t = first; t < end; ++t) {
    const char* path = wGetNameFromToken(t);
    if (token == 0 && !starts_with_nocase(path, prefix)) continue;
    std::printf("%u\t%08x\t%s\t%s\n", t, wGetHashFromToken(t), node_type_name(wGetType(t)), path);
    ++listed;
  }
  if (listed == 0) {
    std::fprintf(stderr, "mixlink: no node matches %s\n", prefix.c_str());
    return kExitFail;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
#ifdef SIGPIPE
  // A reader that goes away shows as a failed write, which each command answers for itself.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  Options o;
  std::string command;
  std::vector<std::string> args;
  bool help = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-a" || a == "--address") {
      if (i + 1 >= argc) return usage_error(command, "-a needs an address");
      o.address = argv[++i];
      if (o.address.empty()) return usage_error(command, "-a needs an address");
    } else if (a == "--timeout") {
      if (i + 1 >= argc || !parse_int(argv[i + 1], 1, 2000000, &o.timeout_ms))
        return usage_error(command, "--timeout needs milliseconds (1 to 2000000)");
      ++i;
    } else if (a == "-h" || a == "--help") {
      help = true;
    } else if (command.empty() && !(a.size() > 1 && a[0] == '-')) {
      command = a;
    } else if (command.empty()) {
      return usage_error(command, ("unknown option " + a).c_str());
    } else {
      args.push_back(a);
    }
  }
  if (command.empty()) {
    if (help) {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    return usage_error(command, "no command given");
  }
  const char* chelp = command_help(command);
  if (chelp == nullptr) return usage_error("", ("unknown command " + command).c_str());
  if (help) {
    std::fputs(chelp, stdout);
    return kExitOk;
  }
  int status = kExitOk;
  if (command == "discover") {
    if (!args.empty()) return usage_error(command, "discover takes no arguments");
    status = cmd_discover(o);
  } else if (command == "get") {
    status = cmd_get(o, args);
  } else if (command == "dump") {
    status = cmd_dump(o, args);
  } else if (command == "def") {
    status = cmd_def(o, args);
  } else if (command == "raw") {
    status = cmd_raw(o, args);
  } else if (command == "events") {
    status = cmd_events(o, args);
  } else if (command == "meters") {
    status = cmd_meters(o, args);
  } else {
    status = cmd_nodes(args);
  }
  // Output that did not all reach its reader is a failure (events and meters settle that
  // themselves: for them a reader that stops reading ends the job).
  if (!output_flows() && status == kExitOk && command != "events" && command != "meters") return kExitFail;
  return status;
}
