// SPDX-License-Identifier: MIT
// mixsim's server calls over POSIX.
#include "net.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace mixsim::net {

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void set_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// The number of descriptors the process has open.
size_t open_descriptors() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n > 3 ? n - 3 : 0;  // ".", ".." and the directory's own descriptor
  }
  return 16;  // no /proc: a guess on the safe side
}

}  // namespace

socket_t listen_on(const sockaddr_in& address, int backlog) {
  socket_t s = mixlink::detail::open_socket(true);
  if (s == kNoSocket) return s;
  set_nonblocking(s);
  mixlink::detail::set_option(s, SOL_SOCKET, SO_REUSEADDR, 1);
  if (mixlink::detail::bind_to(s, address) != 0 || ::listen(s, backlog) != 0) {
    const int saved = errno;
    mixlink::detail::drop_socket(s);
    errno = saved;
  }
  return s;
}

socket_t udp_on(const sockaddr_in& address) {
  socket_t s = mixlink::detail::open_socket(false);
  if (s == kNoSocket) return s;
  set_nonblocking(s);
  if (mixlink::detail::bind_to(s, address) != 0) {
    const int saved = errno;
    mixlink::detail::drop_socket(s);
    errno = saved;
  }
  return s;
}

socket_t accept_client(socket_t listener, sockaddr_in* peer) {
  socklen_t length = sizeof *peer;
  const int fd = ::accept(listener, reinterpret_cast<sockaddr*>(peer), &length);
  if (fd < 0) return kNoSocket;
  set_nonblocking(fd);
  fcntl(fd, F_SETFD, FD_CLOEXEC);
#if !defined(MSG_NOSIGNAL) && defined(SO_NOSIGPIPE)
  mixlink::detail::set_option(fd, SOL_SOCKET, SO_NOSIGPIPE, 1);
#endif
  mixlink::detail::set_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  return fd;
}

bool out_of_descriptors(int code) { return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM; }

bool accept_again(int code) { return code == EINTR || code == ECONNABORTED; }

int wait(std::vector<watch>& sockets, std::chrono::nanoseconds timeout) {
  std::vector<pollfd> fds(sockets.size());
  for (size_t i = 0; i < sockets.size(); ++i)
    fds[i] = {sockets[i].s, static_cast<short>((sockets[i].read ? POLLIN : 0) | (sockets[i].write ? POLLOUT : 0)), 0};
  // Whole milliseconds, rounded up so the loop does not wake just before a timer is due.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
  const int r = ::poll(fds.data(), fds.size(), static_cast<int>(ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms));
  if (r < 0) return errno == EINTR ? 0 : -1;
  for (size_t i = 0; i < sockets.size(); ++i) {
    sockets[i].readable = (fds[i].revents & POLLIN) != 0;
    sockets[i].writable = (fds[i].revents & POLLOUT) != 0;
    sockets[i].broken = (fds[i].revents & (POLLHUP | POLLERR)) != 0;
  }
  return r;
}

long send_pieces(socket_t s, const piece* pieces, int n) {
  std::vector<iovec> iov(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) iov[static_cast<size_t>(i)] = {const_cast<char*>(pieces[i].data), pieces[i].size};
  msghdr msg{};
  msg.msg_iov = iov.data();
  msg.msg_iovlen = static_cast<decltype(msg.msg_iovlen)>(n);
#ifdef MSG_NOSIGNAL
  return static_cast<long>(::sendmsg(s, &msg, MSG_NOSIGNAL));
#else
  return static_cast<long>(::sendmsg(s, &msg, 0));
#endif
}

int receive_from(socket_t s, void* buf, int n, sockaddr_in* from) {
  socklen_t length = sizeof *from;
  return static_cast<int>(::recvfrom(s, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(from), &length));
}

bool local_address_toward(const sockaddr_in& peer, in_addr* local) {
  // Connecting a UDP socket sends nothing; it only asks the routing table which address this
  // host would send from.
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in self{};
  socklen_t length = sizeof self;
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length) == 0;
  ::close(fd);
  if (ok) *local = self.sin_addr;
  return ok;
}

std::string error_text(int code) { return std::strerror(code); }

void catch_stop_requests() {
  struct sigaction sa{};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool stop_requested() { return g_stop != 0; }

size_t client_limit(size_t spare) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  const size_t open_now = open_descriptors();
  return limit.rlim_cur > open_now + spare ? limit.rlim_cur - open_now - spare : 1;
}

}  // namespace mixsim::net
