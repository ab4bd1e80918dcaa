// SPDX-License-Identifier: MIT
// mixlink discover: where the console is.
#include <mixlink/link.h>

#include <cstdio>

#include "command.h"
#include "console.h"

namespace mixtool {

namespace {

int run(const Invocation& call) {
  if (!call.address.empty()) {
    Session session;
    if (!session.open(call.address)) return kExitFail;
    std::printf("%s\n", call.address.c_str());
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

}  // namespace

extern const Command kDiscover{
    .name = "discover",
    .summary = "find a console on the local network and print its address",
    .help = "usage: mixlink discover\n"
            "Broadcasts a discovery probe and prints the first console's address.\n"
            "With -a ADDRESS, connects there instead and prints the address if it answers.\n",
    .options = {},
    .operand = nullptr,
    .min_operands = 0,
    .max_operands = 0,
    .run = run,
};

}  // namespace mixtool
