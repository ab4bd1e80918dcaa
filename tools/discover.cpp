// SPDX-License-Identifier: MIT
// mixlink discover: where the console is.
#include <mixlink/link.h>

#include <cstdio>
#include <string>

#include "command.h"
#include "console.h"

namespace mixtool {

namespace {

// What `mixlink discover --help` prints.
constexpr char kHelp[] = R"(usage: mixlink discover
Broadcasts a discovery probe and prints the first console's address, or says why
none was found (no console answered, no IPv4 network with mask 255.255.255.0).
With -a ADDRESS, connects there instead and prints the address once a console
answers there (within --timeout).
)";

// Whether what listens at the connection answers as a console does: its answer to the
// keep-alive that connecting sent (or anything else it says) comes within timeout_us.
bool console_answers(int timeout_us) {
  unsigned char scratch[4096];
  const int n = wRecv(scratch, sizeof scratch, timeout_us);
  return n > 0 || n == -10;
}

int run(const Invocation& call) {
  if (!call.address.empty()) {
    Session session;
    if (!session.open(call.address)) return kExitFail;
    if (!console_answers(call.timeout_us())) {
      std::fprintf(stderr, "mixlink: %s accepts connections but no console answered within %ld ms\n",
                   call.address.c_str(), call.timeout_ms);
      return kExitFail;
    }
    std::printf("%s\n", call.address.c_str());
    return kExitOk;
  }
  std::string found;
  if (!find_console(&found)) return kExitFail;
  std::printf("%s\n", found.c_str());
  return kExitOk;
}

}  // namespace

extern const Command kDiscover{.name = "discover",
                               .summary = "find a console on the local network and print its address",
                               .help = kHelp, .run = run};

}  // namespace mixtool
