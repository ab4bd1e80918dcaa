// SPDX-License-Identifier: MIT
// mixlink dump: every leaf below a container in one request, as the compact dump or JSON (values
// as get shows them), or as the library's records.
#include <mixlink/dictionary.h>
#include <mixlink/nodes.h>

#include <cstdio>
#include <string>
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
--json     one JSON object keyed by full path
Both show each value as get does (a value that names a node as its path).
--records  one PATH<TAB>TYPE<TAB>VALUE line per leaf: the protocol-level view,
           as the library's record decoder reads the reply (offset integers
           as -63 to 0, a node hash as the integer of its 32 bits)
)";

constexpr int kLongestEntry = 5 + 258;  // 0xD7, the hash and the longest value token
constexpr int kReplyClose = 1;          // the byte that ends a container's reply

constexpr Option kOptions[] = {{"--records", nullptr}, {"--json", nullptr}};

// The whole reply to a read of the container token, checked to hold one entry per leaf; empty
// after saying why on standard error.
std::vector<unsigned char> read_reply(const Invocation& call, uint32_t token, const std::string& path, int* end) {
  const int leaves = wNodeLeafCount(token);
  const int size = leaves * kLongestEntry + kReplyClose;
  std::vector<unsigned char> reply(static_cast<size_t>(size));
  const int n = wGetBinaryNodeTimed(token, reply.data(), size, call.timeout_us());
  if (n <= 0) {
    read_failed("dump", path, n, call.timeout_ms);
    return {};
  }
  const int count = wCountReplyEntries(reply.data(), n, leaves, end);
  if (count != leaves) {
    std::fprintf(stderr, "mixlink: dump of %s: the reply stopped after %d of %d entries\n", path.c_str(),
                 count < 0 ? 0 : count, leaves);
    return {};
  }
  reply.resize(static_cast<size_t>(n));
  return reply;
}

// The compact dump or the JSON object of every leaf, each value as the value reads decode it.
int print_values(const Invocation& call, uint32_t token, const std::string& path, bool json) {
  int end = 0;
  const std::vector<unsigned char> reply = read_reply(call, token, path, &end);
  if (reply.empty()) return kExitFail;
  std::string out = json ? "{" : "";
  w_dump dump{};
  // A value's text is at most 4 times its token (every byte escaped), a name part 63 characters.
  std::vector<char> text(reply.size() * 4 + static_cast<size_t>(wNodeLeafCount(token)) * 66 + 16);
  if (!json && wDumpStart(&dump, wGetName(token), text.data(), text.size()) != 1) return kExitFail;
  const char* separator = "";
  bool ok = true;
  walk_entries(reply.data(), end, [&](uint32_t hash, const unsigned char* token_bytes, int width) {
    const uint32_t leaf = wGetTokenFromHash(hash);
    if (leaf == 0 || wGetType(leaf) == W_CONTAINER) {
      ok = false;
      return;
    }
    Value value;
    const bool has = width > 0 && value.read([&](int* t, w_value* v) {
      return wParesToValueBounded(token_bytes, width, t, v);
    }) == 1;
    if (json) {
      out += separator;
      out += "\n  " + json_string(wGetName(leaf)) + ": " + (has ? json_value(value.type(), value.value()) : "null");
      separator = ",";
    } else if (wDumpAppend(&dump, wGetName(leaf),
                           ((has ? value_text(value.type(), value.value()) : std::string()) + ",").c_str()) != 1) {
      ok = false;
    }
  });
  if (!ok || (!json && wDumpFinish(&dump) != 1)) {
    std::fprintf(stderr, "mixlink: dump of %s: the reply is malformed\n", path.c_str());
    return kExitFail;
  }
  if (json) {
    std::printf("%s\n}\n", out.c_str());
  } else {
    std::fputs(text.data(), stdout);
  }
  return kExitOk;
}

// One PATH<TAB>TYPE<TAB>VALUE line per leaf, as the library's record decoder reads them.
int print_records(const Invocation& call, uint32_t token, const std::string& path) {
  const int leaves = wNodeLeafCount(token);
  Records records(leaves);
  const int n = records.read([&](w_token_value* r, int capacity) {
    return wGetNodeToTVArrayTimed(token, r, capacity, call.timeout_us());
  });
  if (n != leaves) {
    read_failed("dump", path, n, call.timeout_ms);
    return kExitFail;
  }
  for (const w_token_value& rec : records.filled())
    std::printf("%s\t%s\t%s\n", wGetName(rec.token), type_name(rec.type), value_text(rec.type, rec.value).c_str());
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
  if (records) return print_records(call, token, path);
  return print_values(call, token, path, json);
}

}  // namespace

extern const Command kDump{.name = "dump",
                           .summary = "the container's text dump [--records | --json]",
                           .help = kHelp, .options = kOptions, .operands = {"PATH", 1, 1},
                           .run = run};

}  // namespace mixtool
