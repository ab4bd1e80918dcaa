// SPDX-License-Identifier: MIT
// mixlink nodes: rows of the compiled-in dictionary; no console.
#include <mixlink/dictionary.h>
#include <mixlink/nodes.h>

#include <cstdio>
#include <string>

#include "command.h"
#include "records.h"

namespace mixtool {

namespace {

// What `mixlink nodes --help` prints.
constexpr char kHelp[] = R"(usage: mixlink nodes [PREFIX]
Lists dictionary rows as TOKEN<TAB>HASH<TAB>TYPE<TAB>PATH: the subtree of PREFIX
when it names a node, else every path starting with PREFIX (any letter case).
)";

bool starts_with_nocase(const char* s, const std::string& prefix) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (s[i] == '\0' || lower(s[i]) != lower(prefix[i])) return false;
  }
  return true;
}

int run(const Invocation& call) {
  const std::string prefix = call.operands.empty() ? "" : call.operands[0];
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

extern const Command kNodes{.name = "nodes",
                            .summary = "list dictionary rows: token, hash, type, path (no console)",
                            .help = kHelp, .operands = {"PREFIX", 0, 1}, .run = run};

}  // namespace mixtool
