// SPDX-License-Identifier: MIT
// mixlink discover: where the console is.
#include <mixlink/link.h>

#include <cstdio>

#include "command.h"
#include "console.h"

namespace mixtool {

namespace {

// What `mixlink discover --help` prints.
constexpr char kHelp[] = R"(usage: mixlink discover
Broadcasts a discovery probe and prints the first console's address.
With -a ADDRESS, connects there instead and prints the address if it answers.
)";

int run(const Invocation& call) {
  if (!call.address.empty()) {
    Session session;
    if (!session.open(call.address, call.timeout_us())) return kExitFail;
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

extern const Command kDiscover{.name = "discover",
                               .summary = "find a console on the local network and print its address",
                               .help = kHelp, .run = run};

}  // namespace mixtool
