// SPDX-License-Identifier: MIT
// Finding a console on the local network: the host's /24 address and the "WING?" broadcast,
// on a socket of the search's own.
#include <cstring>

#include <mixlink/link.h>
#include <mixlink/protocol.h>

#include "platform.h"

using namespace mixlink;

namespace {

constexpr int kProbeTries = 5;
constexpr int kProbeWaitUs = 500000;
constexpr int kReplyReadSize = 128;
constexpr int kAddressTextMax = 16;
constexpr int kAddressOffset = 5;  // "WING" and one separator byte come first

}  // namespace

int wParseDiscoveryReply(const unsigned char* data, int length, char* address) {
  if (data == nullptr || address == nullptr || length < kAddressOffset + 1) return 0;
  if (std::memcmp(data, kDiscoveryReplyTag, 4) != 0) return 0;
  char text[kAddressTextMax + 1] = {};
  // Only bytes the datagram really holds: a short reply must not pick up what an earlier,
  // longer one left behind in a receive buffer.
  for (int i = 0; i < kAddressTextMax && kAddressOffset + i < length; ++i) {
    const char c = static_cast<char>(data[kAddressOffset + i]);
    if (c == '\0' || c == ',') break;
    text[i] = c;
  }
  std::memcpy(address, text, sizeof text);
  return 1;
}

int getmyIP() { return static_cast<int>(detail::local_slash24_address()); }

namespace {

int search(detail::socket_t probe, char* address) {
  // No /24 network means no console can be reached the way the console expects to be found.
  if (getmyIP() == 0) return -7;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  if (!detail::set_option(probe, SOL_SOCKET, SO_BROADCAST, 1)) return -7;
  to.sin_port = htons(kDiscoveryPort);
  for (int tries = 0;;) {
    if (detail::send_datagram(probe, kDiscoveryProbe, 5, to) < 0) return -6;
    detail::wait_set set;
    const int r = detail::wait_readable(probe, &set, kProbeWaitUs);
    if (r < 0) return -6;
    if (r > 0) {
      unsigned char reply[kReplyReadSize];
      const int n = detail::recv_datagram(probe, reply, sizeof reply, nullptr);
      if (n > 0 && wParseDiscoveryReply(reply, n, address) == 1) return 1;
    }
    if (++tries >= kProbeTries) return 0;
  }
}

}  // namespace

int wSearchWING(char* address) {
  // A socket of its own, so that a search leaves every link's meter socket alone and runs while
  // links are connected.
  detail::socket_t probe = detail::open_socket(false);
  if (probe == detail::kNoSocket) return -7;
  const int r = search(probe, address);
  detail::drop_socket(probe);
  return r;
}
