// SPDX-License-Identifier: MIT
// The parts of the platform seam that are built on its primitives, the same on every system.
#include "platform.h"

#include <cstring>

#ifndef _WIN32
#include <netdb.h>
#endif

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

bool resolve_ipv4(const char* host, uint32_t* address) {
  if (host == nullptr || host[0] == '\0') return false;
  if (parse_ipv4(host, address)) return true;
  if (!net_start()) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  bool ok = false;
  for (const addrinfo* a = found; a != nullptr && !ok; a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addr == nullptr) continue;
    *address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    ok = true;
  }
  ::freeaddrinfo(found);
  return ok;
}

}  // namespace mixlink::detail
