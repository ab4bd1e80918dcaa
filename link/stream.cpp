// Receiving into the connection's stream, and the two public operations on it: wRecv, which hands
// the stream out block by block, and wLinkState.
#include "stream.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include <mixlink/link.h>

#include "platform.h"

namespace mixlink::detail {

namespace {

// What one receive asks for at the least: a few segments' worth, so a trickle costs one call per
// segment and a flood few calls per megabyte.
constexpr int kReceiveSize = 64 * 1024;

bool g_ended = false;   // recv has reported the end of the stream
bool g_failed = false;  // recv has failed (not merely timed out)
int g_last_block = 0;

timespec monotonic_now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

timespec add_us(timespec t, long long us) {
  long long ns = t.tv_nsec + us * 1000;
  t.tv_sec += static_cast<time_t>(ns / 1000000000);
  t.tv_nsec = static_cast<long>(ns % 1000000000);
  return t;
}

bool before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Time left until d, never negative.
timespec left_until(const deadline& d) {
  const timespec now = monotonic_now();
  if (!before(now, d.at)) return timespec{0, 0};
  timespec left{d.at.tv_sec - now.tv_sec, d.at.tv_nsec - now.tv_nsec};
  if (left.tv_nsec < 0) {
    left.tv_nsec += 1000000000;
    --left.tv_sec;
  }
  return left;
}

// 1 when fd is readable (or at its end), 0 when d passed first, -1 when the wait failed.
int wait_until(int fd, const deadline& d) {
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    timespec left = left_until(d);
    const int r = ::ppoll(&p, 1, &left, nullptr);
    if (r > 0) return (p.revents & POLLNVAL) != 0 ? (errno = EBADF, -1) : 1;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

bool more_waiting(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

// One recv of up to limit bytes into the stream; its result (0 at the end of the stream).
int recv_into_stream(int want, long limit) {
  rx_stream& s = link_stream();
  int room = 0;
  unsigned char* at = s.raw_room(want, &room);
  if (at == nullptr) return kReceiveNoMemory;
  const size_t ask = static_cast<size_t>(room < limit ? room : limit);
  for (;;) {
    const ssize_t n = ::recv(wing_tsocket, at, ask, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) g_failed = true;
      return static_cast<int>(n);
    }
    if (n == 0) {
      g_ended = true;
      return 0;
    }
    g_last_block = static_cast<int>(n);
    s.decode_raw(static_cast<int>(n), &ch_id_rx);
    return static_cast<int>(n);
  }
}

}  // namespace

deadline deadline_after(int timeout_us) {
  return deadline{false, add_us(monotonic_now(), timeout_us > 0 ? timeout_us : 0)};
}

deadline earlier(const deadline& d, int timeout_us) {
  const deadline e = deadline_after(timeout_us);
  return d.unlimited || before(e.at, d.at) ? e : d;
}

bool passed(const deadline& d) { return !d.unlimited && !before(monotonic_now(), d.at); }

void sleep_until(const deadline& d) {
  if (d.unlimited) return;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &d.at, nullptr) == EINTR) {
  }
}

rx_stream& link_stream() {
  static rx_stream stream;
  return stream;
}

int stream_receive(const deadline& d, int want) {
  if (g_ended) return kReceiveEnded;
  if (!d.unlimited) {
    const int w = wait_until(wing_tsocket, d);
    if (w <= 0) return w;
  }
  const int n = recv_into_stream(want > kReceiveSize ? want : kReceiveSize, LONG_MAX);
  return n == 0 ? kReceiveEnded : n;
}

int last_block_size() { return g_last_block; }

void stream_reset() {
  link_stream().reset();
  g_ended = false;
  g_failed = false;
  g_last_block = 0;
}

}  // namespace mixlink::detail

using namespace mixlink::detail;

int wRecv(unsigned char* buf, int capacity, int timeout) {
  rx_stream& s = link_stream();
  if (s.size() == 0 && !g_ended) {
    if (timeout != 0) {
      const int r = wait_readable(wing_tsocket, &wtcpr_fds, timeout);
      if (r <= 0) return r;
    }
    // One block: read again, without a new wait, while full reads leave more waiting; never
    // more than one byte beyond the capacity, which is enough to know the block does not fit.
    const long limit = (capacity > 0 ? static_cast<long>(capacity) : 0) + 1;
    long total = 0;
    while (total < limit) {
      const long ask = limit - total < kReceiveSize ? limit - total : kReceiveSize;
      const int n = recv_into_stream(static_cast<int>(ask), ask);
      if (n < 0) return n;
      if (n == 0) break;
      total += n;
      if (n < ask || !more_waiting(wing_tsocket)) break;
    }
  }
  const int n = s.size();
  const int copy = n < capacity ? n : (capacity > 0 ? capacity : 0);
  if (copy > 0) std::memcpy(buf, s.data(), static_cast<size_t>(copy));
  s.consume(n);
  return n > capacity ? -10 : n;
}

int wLinkState() {
  if (wing_tsocket < 0) return -1;
  if (g_failed) return -3;
  return g_ended ? 0 : 1;
}
