// SPDX-License-Identifier: MIT
// The parts of the platform seam that are built on its primitives, the same on every system.
#include "platform.h"

#include <cstring>

#include "link_state.h"

namespace mixlink::detail {

int send_raw(w_link& link, const unsigned char* bytes, int n) { return send_bytes(link.tsocket, bytes, n); }

int bind_meter_socket(w_link& link, int port) {
  drop_socket(link.msocket);
  link.msocket = open_socket(false);
  std::memset(&link.mip, 0, sizeof link.mip);
  link.mip.sin_family = AF_INET;
  link.mip.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  link.mip.sin_addr.s_addr = htonl(INADDR_ANY);
  if (link.msocket == kNoSocket) return -1;
  return bind_to(link.msocket, link.mip);
}

}  // namespace mixlink::detail
