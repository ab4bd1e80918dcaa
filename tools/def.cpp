// SPDX-License-Identifier: MIT
// mixlink def: a node's definition bytes.
#include <mixlink/values.h>

#include <cstdio>

#include "command.h"
#include "console.h"
#include "output.h"
#include "records.h"

namespace mixtool {

namespace {

// What `mixlink def --help` prints.
constexpr char kHelp[] = R"(usage: mixlink [-a ADDRESS] def PATH
Prints the node's definition bytes as hex.
)";

int run(const Invocation& call) {
  const std::string& path = call.operands[0];
  const uint32_t token = token_of(path);
  if (token == 0) return kExitFail;
  Session session;
  if (!session.open(call.address, call.timeout_us())) return kExitFail;
  int length = 0;
  unsigned char* data = nullptr;
  const int r = wGetTokenDefTimed(token, &length, &data, call.timeout_us());
  const Bytes owned(data);
  if (r != 1) {
    read_failed("definition", path, r, call.timeout_ms);
    return kExitFail;
  }
  std::printf("%s\n", hex_text(owned.get(), static_cast<size_t>(length)).c_str());
  return kExitOk;
}

}  // namespace

extern const Command kDef{.name = "def", .summary = "the node's definition bytes, as hex",
                          .help = kHelp, .operands = {"PATH", 1, 1}, .run = run};

}  // namespace mixtool
