// SPDX-License-Identifier: MIT
// mixlink events: change events as they arrive.
#include <mixlink/dictionary.h>
#include <mixlink/result.h>
#include <mixlink/values.h>

#include <cstdio>

#include "command.h"
#include "console.h"
#include "records.h"

namespace mixtool {

namespace {

// What `mixlink events --help` prints.
constexpr char kHelp[] = R"(usage: mixlink [-a ADDRESS] events [--count N]
Prints PATH=VALUE<TAB>TYPE for each change event until interrupted.
--count N  stop after N events
)";

constexpr int kBatch = 256;
constexpr int kPollUs = 500000;  // how long a read waits before looking around

constexpr Option kOptions[] = {{"--count", "N"}};

int run(const Invocation& call) {
  long count = -1;
  if (int u = number_option(call, "--count", 1, 1000000000, &count)) return u;
  Session session;
  if (!session.open(call.address, call.timeout_us())) return kExitFail;
  Records records(kBatch);
  long seen = 0;
  while (!interrupted() && (count < 0 || seen < count)) {
    if (!console_alive()) return kExitFail;
    const int n = records.read([](w_token_value* r, int capacity) {
      return wGetParsedEventsTimed(r, capacity, kPollUs);
    });
    if (n < 0) {
      if (interrupted()) break;
      std::fprintf(stderr, "mixlink: event read failed: %s (%d)\n", wResultText(n), n);
      return kExitFail;
    }
    for (const w_token_value& rec : records.filled()) {
      if (count >= 0 && seen >= count) break;
      std::printf("%s=%s\t%s\n", wGetName(rec.token), value_text(rec.type, rec.value).c_str(), type_name(rec.type));
      ++seen;
    }
    if (output_flow() != Flow::open) break;
  }
  return kExitOk;
}

}  // namespace

extern const Command kEvents{.name = "events",
                             .summary = "print change events as they arrive [--count N]",
                             .help = kHelp, .options = kOptions, .run = run, .endless = true};

}  // namespace mixtool
