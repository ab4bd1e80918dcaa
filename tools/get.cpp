// SPDX-License-Identifier: MIT
// mixlink get: single values, each as the value reads decode it.
#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/result.h>
#include <mixlink/values.h>

#include <cstdio>
#include <cstdlib>
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

// The texts of the records a pipelined read filled, freed however the command ends.
struct Filled {
  std::vector<w_token_value> records;
  ~Filled() {
    for (w_token_value& rec : records)
      if (rec.token != 0 && rec.type == W_VALUE_STRING) std::free(rec.value.s);
  }
};

int run(const Invocation& call) {
  const bool json = call.has("--json");
  // The dictionary is local: every path is checked before the console is asked for anything.
  std::vector<std::string> paths;
  std::vector<uint32_t> tokens;
  int status = kExitOk;
  for (const std::string& path : call.operands) {
    const uint32_t token = token_of(path);
    if (token == 0) {
      status = kExitFail;
    } else if (wGetType(token) == W_CONTAINER) {
      std::fprintf(stderr, "mixlink: %s is a container (use dump)\n", path.c_str());
      status = kExitFail;
    } else {
      paths.push_back(path);
      tokens.push_back(token);
    }
  }
  if (tokens.empty()) return status;
  Session session;
  if (!session.open(call.address, call.timeout_us())) return kExitFail;
  // All values in one pipelined read: a round trip for every window of them, not for each. Each
  // value comes as the value reads decode it.
  Filled got{std::vector<w_token_value>(tokens.size())};
  const int r = wLinkGetTokensTimed(wLinkDefault(), tokens.data(), static_cast<int>(tokens.size()),
                                    got.records.data(), call.timeout_us());
  if (r < 0) {
    if (connection_closed())
      say_closed();
    else
      std::fprintf(stderr, "mixlink: get failed: %s (%d)\n", wResultText(r), r);
    return kExitFail;
  }
  const char* separator = "{";
  for (size_t i = 0; i < tokens.size(); ++i) {
    const w_token_value& rec = got.records[i];
    if (rec.token == 0) {
      read_failed("get", paths[i], 0, call.timeout_ms);
      status = kExitFail;
      continue;
    }
    if (json) {
      std::printf("%s\n  %s: %s", separator, json_string(wGetName(tokens[i])).c_str(),
                  json_value(rec.type, rec.value).c_str());
      separator = ",";
    } else {
      std::printf("%s=%s\t%s\n", wGetName(tokens[i]), value_text(rec.type, rec.value).c_str(), type_name(rec.type));
    }
  }
  if (json) std::printf("%s\n}\n", *separator == '{' ? "{" : "");
  return status;
}

}  // namespace

extern const Command kGet{.name = "get", .summary = "print PATH=VALUE<TAB>TYPE for each leaf [--json]",
                          .help = kHelp, .options = kOptions, .operands = {"PATH", 1, -1}, .run = run};

}  // namespace mixtool
