// SPDX-License-Identifier: MIT
// mixlink raw: the reply to a read, byte for byte.
#include <mixlink/nodes.h>

#include <cstdio>
#include <vector>

#include "command.h"
#include "console.h"
#include "output.h"

namespace mixtool {

namespace {

// What `mixlink raw --help` prints.
constexpr char kHelp[] = R"(usage: mixlink [-a ADDRESS] raw PATH
Prints the reply to a read of PATH, as received, as hex.
)";

constexpr int kEntryBytesPerLeaf = 300;  // 0xD7, the hash and the longest value token, with room

int run(const Invocation& call) {
  const std::string& path = call.operands[0];
  const uint32_t token = token_of(path);
  if (token == 0) return kExitFail;
  Session session;
  if (!session.open(call.address, call.timeout_us())) return kExitFail;
  const int size = wNodeLeafCount(token) * kEntryBytesPerLeaf + 256;
  std::vector<unsigned char> buf(static_cast<size_t>(size));
  const int n = wGetBinaryDataTimed(path.c_str(), buf.data(), size, call.timeout_us());
  if (n <= 0) {
    read_failed("raw read", path, n, call.timeout_ms);
    return kExitFail;
  }
  std::printf("%s\n", hex_text(buf.data(), static_cast<size_t>(n)).c_str());
  return kExitOk;
}

}  // namespace

extern const Command kRaw{.name = "raw", .summary = "the node's raw reply, as hex", .help = kHelp,
                          .operands = {"PATH", 1, 1}, .run = run};

}  // namespace mixtool
