// SPDX-License-Identifier: MIT
// The parts of the platform seam that are built on its primitives, the same on every system.
#include "platform.h"

#include <cstring>

#include "sockets.h"

namespace mixlink::detail {

int send_raw(const unsigned char* bytes, int n) { return send_bytes(wing_tsocket, bytes, n); }

int bind_meter_socket(int port) {
  drop_socket(wing_msocket);
  wing_msocket = open_socket(false);
  std::memset(&WING_mip, 0, sizeof WING_mip);
  WING_mip.sin_family = AF_INET;
  WING_mip.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  WING_mip.sin_addr.s_addr = htonl(INADDR_ANY);
  if (wing_msocket == kNoSocket) return -1;
  return bind_to(wing_msocket, WING_mip);
}

}  // namespace mixlink::detail
