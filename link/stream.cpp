// SPDX-License-Identifier: MIT
// Receiving into the connection's stream, and the two public operations on it: wRecv, which hands
// the stream out block by block, and wLinkState.
#include "stream.h"

#include <climits>
#include <cstring>

#include <mixlink/link.h>

#include "platform.h"
#include "sockets.h"

namespace mixlink::detail {

namespace {

// What one receive asks for at the least: a few segments' worth, so a trickle costs one call per
// segment and a flood few calls per megabyte.
constexpr int kReceiveSize = 64 * 1024;

bool g_ended = false;   // recv has reported the end of the stream
bool g_failed = false;  // recv has failed (not merely timed out)
int g_last_block = 0;

// 1 when the socket is readable (or at its end), 0 when d passed first, -1 when the wait failed.
int wait_until(const deadline& d) {
  for (;;) {
    const int64_t left = d.at_us - monotonic_us();
    wait_set set;
    // The wait takes an int of microseconds: a longer one is cut and taken again.
    const int r = wait_readable(wing_tsocket, &set, left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (r > 0) return 1;
    if (r == 0) {
      if (left <= 0 || monotonic_us() >= d.at_us) return 0;
      continue;
    }
    if (!error_interrupted(last_socket_error())) return -1;
  }
}

// One recv of up to limit bytes into the stream; its result (0 at the end of the stream).
int recv_into_stream(int want, long limit) {
  rx_stream& s = link_stream();
  int room = 0;
  unsigned char* at = s.raw_room(want, &room);
  if (at == nullptr) return kReceiveNoMemory;
  const int ask = static_cast<int>(room < limit ? room : limit);
  for (;;) {
    const int n = recv_bytes(wing_tsocket, at, ask);
    if (n < 0 && error_interrupted(last_socket_error())) continue;
    if (n < 0) {
      if (!error_would_block(last_socket_error())) g_failed = true;
      return n;
    }
    if (n == 0) {
      g_ended = true;
      return 0;
    }
    g_last_block = n;
    s.decode_raw(n, &ch_id_rx);
    return n;
  }
}

}  // namespace

deadline deadline_after(int timeout_us) { return deadline{false, monotonic_us() + (timeout_us > 0 ? timeout_us : 0)}; }

deadline earlier(const deadline& d, int timeout_us) {
  const deadline e = deadline_after(timeout_us);
  return d.unlimited || e.at_us < d.at_us ? e : d;
}

bool passed(const deadline& d) { return !d.unlimited && monotonic_us() >= d.at_us; }

void sleep_until(const deadline& d) {
  if (d.unlimited) return;
  for (int64_t left = d.at_us - monotonic_us(); left > 0; left = d.at_us - monotonic_us()) sleep_us(left);
}

rx_stream& link_stream() {
  static rx_stream stream;
  return stream;
}

int stream_receive(const deadline& d, int want) {
  if (g_ended) return kReceiveEnded;
  if (wing_tsocket == kNoSocket) return -1;
  if (!d.unlimited) {
    const int w = wait_until(d);
    if (w <= 0) return w;
  }
  const int n = recv_into_stream(want > kReceiveSize ? want : kReceiveSize, LONG_MAX);
  return n == 0 ? kReceiveEnded : n;
}

int stream_receive_waiting(int limit) {
  if (g_ended) return kReceiveEnded;
  if (wing_tsocket == kNoSocket) return -1;
  if (!bytes_waiting(wing_tsocket)) return kReceiveTimedOut;
  const int n = recv_into_stream(limit, limit);
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
      if (n < ask || !bytes_waiting(wing_tsocket)) break;
    }
  }
  const int n = s.size();
  const int copy = n < capacity ? n : (capacity > 0 ? capacity : 0);
  if (copy > 0) std::memcpy(buf, s.data(), static_cast<size_t>(copy));
  s.consume(n);
  return n > capacity ? -10 : n;
}

int wLinkState() {
  if (wing_tsocket == kNoSocket) return -1;
  if (g_failed) return -3;
  return g_ended ? 0 : 1;
}
