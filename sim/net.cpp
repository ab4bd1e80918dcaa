// SPDX-License-Identifier: MIT
// mixsim's server calls that read the same over POSIX and Windows Sockets.
#include "net.h"

#ifndef _WIN32
#include <arpa/inet.h>
#endif

namespace mixsim::net {

void send_datagram_now(socket_t s, const std::string& bytes, const sockaddr_in& to) {
  mixlink::detail::send_datagram(s, bytes.data(), static_cast<int>(bytes.size()), to);
}

std::string address_text(const in_addr& a) {
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

bool parse_address(const std::string& text, in_addr* a) { return inet_pton(AF_INET, text.c_str(), a) == 1; }

}  // namespace mixsim::net
