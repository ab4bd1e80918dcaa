// SPDX-License-Identifier: MIT
// mixlink dump: every leaf below a container in one request, as the compact dump, as records or
// as JSON.
#include <mixlink/dictionary.h>
#include <mixlink/nodes.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "console.h"
#include "output.h"
#include "records.h"

namespace mixtool {

namespace {

// What `mixlink dump --help` prints.
constexpr char kHelp[] = R"(usage: mixlink [-a ADDRESS] dump PATH [--records | --json]
Reads every leaf below the container PATH in one request.
Default: the compact dump with names relative to the previous leaf.
--records  one PATH<TAB>TYPE<TAB>VALUE line per leaf
--json     one JSON object keyed by full path
)";

constexpr int kValueBytesPerLeaf = 300;  // name part, "=" and the longest value text

constexpr Option kOptions[] = {{"--records", nullptr}, {"--json", nullptr}};

int print_dump(const Invocation& call, uint32_t token, const std::string& path) {
  const size_t capacity = static_cast<size_t>(wNodeLeafCount(token)) * kValueBytesPerLeaf + 16;
  std::vector<char> text(capacity);
  const int r = wGetNodeTimed(token, text.data(), capacity, call.timeout_us());
  if (r != 1) {
    read_failed("dump", path, r, call.timeout_ms);
    return kExitFail;
  }
  std::string_view dump(text.data());
  if (!dump.empty() && dump.back() == '\n') dump.remove_suffix(1);
  std::printf("%s\n", text_escaped(dump).c_str());
  return kExitOk;
}

int print_records(const Invocation& call, uint32_t token, const std::string& path, bool json) {
  const int leaves = wNodeLeafCount(token);
  Records records(leaves);
  const int n = records.read([&](w_token_value* r, int capacity) {
    return wGetNodeToTVArrayTimed(token, r, capacity, call.timeout_us());
  });
  if (n != leaves) {
    read_failed("dump", path, n, call.timeout_ms);
    return kExitFail;
  }
  if (json) std::printf("{");
  const char* separator = "";
  for (const w_token_value& rec : records.filled()) {
    if (json)
      std::printf("%s\n  %s: %s", separator, json_string(wGetName(rec.token)).c_str(),
                  json_value(rec.type, rec.value).c_str());
    else
      std::printf("%s\t%s\t%s\n", wGetName(rec.token), type_name(rec.type), value_text(rec.type, rec.value).c_str());
    separator = ",";
  }
  if (json) std::printf("\n}\n");
  return kExitOk;
}

int run(const Invocation& call) {
  const bool records = call.has("--records"), json = call.has("--json");
  if (records && json) return usage_error(call, "--records and --json exclude each other");
  const std::string& path = call.operands[0];
  const uint32_t token = token_of(path);
  if (token == 0) return kExitFail;
  if (wGetType(token) != W_CONTAINER) {
    std::fprintf(stderr, "mixlink: %s is a leaf (use get)\n", path.c_str());
    return kExitFail;
  }
  Session session;
  if (!session.open(call.address, call.timeout_us())) return kExitFail;
  if (records || json) return print_records(call, token, path, json);
  return print_dump(call, token, path);
}

}  // namespace

extern const Command kDump{.name = "dump",
                           .summary = "the container's text dump [--records | --json]",
                           .help = kHelp, .options = kOptions, .operands = {"PATH", 1, 1},
                           .run = run};

}  // namespace mixtool
