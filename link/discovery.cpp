// Finding a console on the local network: the host's /24 address and the "WING?" broadcast.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

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

int getmyIP() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  int found = 0;
  for (const ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_netmask == nullptr) continue;
    if (ifa->ifa_addr->sa_family != AF_INET) continue;
    if ((ifa->ifa_flags & IFF_LOOPBACK) != 0 || (ifa->ifa_flags & IFF_UP) == 0) continue;
    const auto* addr = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr);
    const auto* mask = reinterpret_cast<const sockaddr_in*>(ifa->ifa_netmask);
    if (mask->sin_addr.s_addr != htonl(0xFFFFFF00u)) continue;
    unsigned char b[4];
    std::memcpy(b, &addr->sin_addr.s_addr, 4);
    if (b[0] == 127) continue;
    const uint32_t v = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                       static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    found = static_cast<int>(v);
    break;
  }
  freeifaddrs(list);
  return found;
}

int wSearchWING(char* address) {
  detail::drop_socket(wing_msocket);
  wing_msocket = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (wing_msocket < 0) return -7;
  std::memset(&WING_mip, 0, sizeof WING_mip);
  WING_mip.sin_family = AF_INET;
  // No /24 network means no console can be reached the way the console expects to be found.
  if (getmyIP() == 0) return -7;
  WING_mip.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  const int one = 1;
  if (setsockopt(wing_msocket, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) return -7;
  WING_mip.sin_port = htons(kDiscoveryPort);
  for (int tries = 0;;) {
    if (::sendto(wing_msocket, kDiscoveryProbe, 5, 0, WING_mip_addr, static_cast<socklen_t>(Wip_mlen)) < 0)
      return -6;
    const int r = detail::wait_readable(wing_msocket, &wudp_mfds, kProbeWaitUs);
    if (r < 0) return -6;
    if (r > 0) {
      unsigned char reply[kReplyReadSize];
      const int n = static_cast<int>(::recvfrom(wing_msocket, reply, sizeof reply, 0, nullptr, nullptr));
      if (n > 0 && wParseDiscoveryReply(reply, n, address) == 1) return 1;
    }
    if (++tries >= kProbeTries) return 0;
  }
}
