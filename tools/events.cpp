// SPDX-License-Identifier: MIT
// mixlink events: change events as they arrive, each value as the value reads decode it.
#include <mixlink/dictionary.h>
#include <mixlink/result.h>
#include <mixlink/values.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "command.h"
#include "console.h"
#include "output.h"
#include "pattern.h"
#include "records.h"

namespace mixtool {

namespace {

// What `mixlink events --help` prints.
constexpr char kHelp[] = R"(usage: mixlink [-a ADDRESS] events [PATTERN...] [--count N] [--for SECONDS] [--json]
Prints PATH=VALUE<TAB>TYPE for each change event until interrupted. Values show
as get shows them.
PATTERN        keep only the paths that match one of the shell-style patterns
               ('ch.*.fdr', 'ch.[1-8].mute'); letters match in any case
--count N      stop after N events
--for SECONDS  stop after SECONDS seconds (a decimal number)
--json         one JSON object a line: path, value, type and time (seconds since
               the epoch, when the event was received)
)";

constexpr int kEventBytes = 64 * 1024;
constexpr auto kPoll = std::chrono::milliseconds(500);  // longest wait before looking around

constexpr Option kOptions[] = {{"--count", "N"}, {"--for", "SECONDS"}, {"--json", nullptr}};

using Clock = std::chrono::steady_clock;

bool wanted(const std::vector<std::string>& patterns, const char* path) {
  if (patterns.empty()) return true;
  for (const std::string& p : patterns)
    if (path_matches(p, path)) return true;
  return false;
}

// One event as a line of text or of JSON.
std::string event_line(uint32_t token, int type, const w_value& v, bool json, double time) {
  if (!json) return std::string(wGetName(token)) + "=" + value_text(type, v) + "\t" + type_name(type) + "\n";
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%.6f", time);
  return "{\"path\": " + json_string(wGetName(token)) + ", \"value\": " + json_value(type, v) + ", \"type\": \"" +
         type_name(type) + "\", \"time\": " + stamp + "}\n";
}

int run(const Invocation& call) {
  long count = -1;
  double seconds = 0;
  if (int u = number_option(call, "--count", 1, 1000000000, &count)) return u;
  if (int u = seconds_option(call, "--for", &seconds)) return u;
  const bool json = call.has("--json");
  std::optional<Clock::time_point> end;
  Session session;
  if (!session.open(call.address, call.timeout_us())) return kExitFail;
  if (seconds > 0) end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<unsigned char> buffer(kEventBytes);
  long seen = 0;
  while (!interrupted() && (count < 0 || seen < count)) {
    Clock::duration wait = kPoll;
    if (end) {
      const Clock::time_point now = Clock::now();
      if (now >= *end) break;
      wait = std::min(wait, *end - now);
    }
    if (!console_alive()) return kExitFail;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(wait).count();
    const int n = wGetEventEntriesTimed(buffer.data(), kEventBytes, static_cast<int>(std::max<long long>(us, 1)));
    if (n < 0) {
      if (interrupted()) break;
      if (connection_closed()) return say_closed();
      std::fprintf(stderr, "mixlink: event read failed: %s (%d)\n", wResultText(n), n);
      return kExitFail;
    }
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    walk_entries(buffer.data(), n, [&](uint32_t hash, const unsigned char* token, int width) {
      const uint32_t leaf = wGetTokenFromHash(hash);
      if (width == 0 || leaf == 0 || wGetType(leaf) == W_CONTAINER) return;
      if ((count >= 0 && seen >= count) || !wanted(call.operands, wGetName(leaf))) return;
      Value value;
      if (value.read([&](int* t, w_value* v) { return wParesToValueBounded(token, width, t, v); }) != 1) return;
      std::fputs(event_line(leaf, value.type(), value.value(), json, now).c_str(), stdout);
      ++seen;
    });
    if (output_flow() != Flow::open) break;
  }
  return kExitOk;
}

}  // namespace

extern const Command kEvents{.name = "events",
                             .summary = "print change events as they arrive\n"
                                        "[--count N] [--for SECONDS] [--json]",
                             .help = kHelp, .options = kOptions, .operands = {"PATTERN", 0, -1}, .run = run,
                             .endless = true};

}  // namespace mixtool
