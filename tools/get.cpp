// SPDX-License-Identifier: MIT
// mixlink get: single values, each as the value reads decode it.
#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/values.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "console.h"
#include "output.h"
#include "records.h"

namespace mixtool {

namespace {

// What `mixlink get --help` prints.
constexpr char kHelp[] = R"(usage: mixlink [-a ADDRESS] [--timeout MS] get PATH... [--json]
Reads each leaf and prints PATH=VALUE<TAB>TYPE (int, float, string, hash). A value
that names a node (hash) shows as that node's path, or as 8 hex digits when no
node has that hash. Every PATH is checked before connecting.
--json        one JSON object of path to value instead
--timeout MS  wait at most MS milliseconds in all, connecting included (default 5000)
)";

constexpr Option kOptions[] = {{"--json", nullptr}};

using Clock = std::chrono::steady_clock;

// Reads the leaf token into value within timeout_us; returns 1, 0 when no value came by then, or
// the read's failure. A read ends with 0 on another node's reply (an event in front of its own),
// so it asks again while time is left.
int read_leaf(uint32_t token, int timeout_us, Value* value) {
  const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(timeout_us);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    const int r = value->read([&](int* t, w_value* v) { return wGetTokenTimed(token, t, v, static_cast<int>(left)); });
    if (r != 0 || connection_closed()) return r;
  }
}

int run(const Invocation& call) {
  const bool json = call.has("--json");
  // The dictionary is local: every path is checked before the console is asked for anything.
  std::vector<std::pair<std::string, uint32_t>> leaves;
  int status = kExitOk;
  for (const std::string& path : call.operands) {
    const uint32_t token = token_of(path);
    if (token == 0) {
      status = kExitFail;
    } else if (wGetType(token) == W_CONTAINER) {
      std::fprintf(stderr, "mixlink: %s is a container (use dump)\n", path.c_str());
      status = kExitFail;
    } else {
      leaves.emplace_back(path, token);
    }
  }
  if (leaves.empty()) return status;
  Session session;
  if (!session.open(call.address, call.timeout_us())) return kExitFail;
  const char* separator = "{";
  for (const auto& [path, token] : leaves) {
    if (connection_closed()) {
      say_closed();
      status = kExitFail;
      break;
    }
    Value value;
    const int r = read_leaf(token, call.timeout_us(), &value);
    if (r != 1) {
      read_failed("get", path, r, call.timeout_ms);
      status = kExitFail;
      if (connection_closed()) break;
      continue;
    }
    if (json) {
      std::printf("%s\n  %s: %s", separator, json_string(wGetName(token)).c_str(),
                  json_value(value.type(), value.value()).c_str());
      separator = ",";
    } else {
      std::printf("%s=%s\t%s\n", wGetName(token), value_text(value.type(), value.value()).c_str(),
                  type_name(value.type()));
    }
  }
  if (json) std::printf("%s\n}\n", *separator == '{' ? "{" : "");
  return status;
}

}  // namespace

extern const Command kGet{.name = "get", .summary = "print PATH=VALUE<TAB>TYPE for each leaf [--json]",
                          .help = kHelp, .options = kOptions, .operands = {"PATH", 1, -1}, .run = run};

}  // namespace mixtool
