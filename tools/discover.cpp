// SPDX-License-Identifier: MIT
// mixlink discover: where the console is.
#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>

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

// Whether what listens at the connection answers as a console does: a read of the node the
// keep-alive asks for is answered within timeout_us.
bool console_answers(int timeout_us) {
  unsigned char reply[512];
  return wGetBinaryNodeTimed(wGetTokenFromHash(mixlink::kKeepAliveHash), reply, sizeof reply, timeout_us) > 0;
}

int run(const Invocation& call) {
  if (!call.address.empty()) {
    Session session;
    if (!session.open(call.address, call.timeout_us())) return kExitFail;
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
