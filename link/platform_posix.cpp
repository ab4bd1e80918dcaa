// SPDX-License-Identifier: MIT
// The platform seam over POSIX: Linux, macOS and the BSDs. Only what POSIX promises, plus
// MSG_NOSIGNAL or SO_NOSIGPIPE, whichever the system has, against SIGPIPE.
#include "platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace mixlink::detail {

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on every socket instead
#endif

// poll's time-out in whole milliseconds, rounded up so a wait never ends before its time.
int poll_ms(int64_t us) {
  if (us <= 0) return 0;
  const int64_t ms = (us + 999) / 1000;
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

bool set_blocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  return fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

}  // namespace

bool net_start() { return true; }

int last_socket_error() { return errno; }

bool error_would_block(int code) { return code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS; }

bool error_interrupted(int code) { return code == EINTR; }

socket_t open_socket(bool stream) {
  const int fd = ::socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, stream ? IPPROTO_TCP : 0);
  if (fd < 0) return kNoSocket;
  // A program that runs others must not hand them the console's connection.
  fcntl(fd, F_SETFD, FD_CLOEXEC);
#if !defined(MSG_NOSIGNAL) && defined(SO_NOSIGPIPE)
  set_option(fd, SOL_SOCKET, SO_NOSIGPIPE, 1);
#endif
  return fd;
}

void drop_socket(socket_t& s) {
  if (s != kNoSocket) ::close(s);
  s = kNoSocket;
}

bool set_option(socket_t s, int level, int name, int value) {
  return ::setsockopt(s, level, name, &value, sizeof value) == 0;
}

int connect_within(socket_t s, const sockaddr_in& address, int timeout_ms) {
  if (!set_blocking(s, false)) return -1;
  int result = -1;
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    result = 0;
  } else if (errno == EINPROGRESS || errno == EINTR) {
    // The attempt goes on in the background: wait until it is settled or the time is up.
    const int64_t end = monotonic_us() + int64_t{timeout_ms} * 1000;
    for (;;) {
      pollfd p{s, POLLOUT, 0};
      const int r = ::poll(&p, 1, poll_ms(end - monotonic_us()));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) result = 0;
      else if (error != 0) errno = error;
      break;
    }
    if (result != 0 && errno == EINPROGRESS) errno = ETIMEDOUT;
  }
  const int saved = errno;
  if (!set_blocking(s, true)) result = -1;
  errno = saved;
  return result;
}

int wait_readable(socket_t s, wait_set* set, int timeout_us) {
  if (s == kNoSocket) {
    errno = EBADF;
    return -1;
  }
  *set = pollfd{s, POLLIN, 0};
  const int r = ::poll(set, 1, poll_ms(timeout_us));
  if (r <= 0) return r;
  if ((set->revents & POLLNVAL) != 0) {
    errno = EBADF;
    return -1;
  }
  // An error or hang-up counts as readable: the read that follows reports it.
  return 1;
}

bool bytes_waiting(socket_t s) {
  if (s == kNoSocket) return false;
  pollfd p{s, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP)) != 0;
}

int send_bytes(socket_t s, const void* bytes, int n) {
  return static_cast<int>(::send(s, bytes, n > 0 ? static_cast<size_t>(n) : 0, kSendFlags));
}

int recv_bytes(socket_t s, void* out, int n) {
  return static_cast<int>(::recv(s, out, n > 0 ? static_cast<size_t>(n) : 0, 0));
}

int recv_datagram(socket_t s, void* out, int n, uint32_t* from) {
  sockaddr_in sender{};
  socklen_t length = sizeof sender;
  const int r = static_cast<int>(
      ::recvfrom(s, out, n > 0 ? static_cast<size_t>(n) : 0, 0, reinterpret_cast<sockaddr*>(&sender), &length));
  if (from != nullptr) *from = r >= 0 && sender.sin_family == AF_INET ? sender.sin_addr.s_addr : 0;
  return r;
}

int send_datagram(socket_t s, const void* bytes, int n, const sockaddr_in& to) {
  return static_cast<int>(::sendto(s, bytes, n > 0 ? static_cast<size_t>(n) : 0, kSendFlags,
                                   reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

int bind_to(socket_t s, const sockaddr_in& address) {
  return ::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : -1;
}

bool parse_ipv4(const char* text, uint32_t* address) {
  const in_addr_t ip = ::inet_addr(text);
  if (ip == INADDR_NONE) return false;
  *address = ip;
  return true;
}

uint32_t local_slash24_address() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  uint32_t found = 0;
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
    found = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
    break;
  }
  freeifaddrs(list);
  return found;
}

int64_t monotonic_us() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000 + t.tv_nsec / 1000;
}

void sleep_ms(int ms) { sleep_us(int64_t{ms} * 1000); }

void sleep_us(int64_t us) {
  if (us <= 0) return;
  timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace mixlink::detail
