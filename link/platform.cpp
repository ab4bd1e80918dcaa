#include "platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

#include <mixlink/link.h>

namespace mixlink::detail {

void drop_socket(int& s) {
  if (s >= 0) ::close(s);
  s = -1;
}

void sleep_ms(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int wait_readable(int fd, fd_set* set, int timeout_us) {
  // FD_SET outside 0..FD_SETSIZE-1 writes past the set; fail like the call on a bad handle would.
  if (fd < 0 || fd >= FD_SETSIZE) {
    errno = EBADF;
    return -1;
  }
  FD_ZERO(set);
  FD_SET(fd, set);
  timeval tv{timeout_us / 1000000, timeout_us % 1000000};
  const int r = ::select(fd + 1, set, nullptr, nullptr, &tv);
  if (r <= 0) return r;
  return FD_ISSET(fd, set) ? 1 : 0;
}

int send_raw(const unsigned char* bytes, int n) {
  return static_cast<int>(::send(wing_tsocket, bytes, n > 0 ? static_cast<size_t>(n) : 0, MSG_NOSIGNAL));
}

int bind_meter_socket(int port) {
  drop_socket(wing_msocket);
  wing_msocket = ::socket(AF_INET, SOCK_DGRAM, 0);
  std::memset(&WING_mip, 0, sizeof WING_mip);
  WING_mip.sin_family = AF_INET;
  WING_mip.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  WING_mip.sin_addr.s_addr = htonl(INADDR_ANY);
  if (wing_msocket < 0) return -1;
  return ::bind(wing_msocket, WING_mip_addr, static_cast<socklen_t>(Wip_mlen)) == 0 ? 0 : -1;
}

}  // namespace mixlink::detail
