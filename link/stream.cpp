// SPDX-License-Identifier: MIT
// Receiving into a link's stream, and the public operations on it: wLinkRecv, which hands the
// stream out block by block, and wLinkStatus.
#include "stream.h"

#include <climits>
#include <cstring>

#include <mixlink/link.h>

#include "link_state.h"
#include "platform.h"

namespace mixlink::detail {

namespace {

// What one receive asks for at the least: a few segments' worth, so a trickle costs one call per
// segment and a flood few calls per megabyte.
constexpr int kReceiveSize = 64 * 1024;

// 1 when the socket is readable (or at its end), 0 when d passed first, -1 when the wait failed.
int wait_until(w_link& link, const deadline& d) {
  for (;;) {
    const int64_t left = d.at_us - monotonic_us();
    wait_set set;
    // The wait takes an int of microseconds: a longer one is cut and taken again.
    const int r = wait_readable(link.tsocket, &set, left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (r > 0) return 1;
    if (r == 0) {
      if (left <= 0 || monotonic_us() >= d.at_us) return 0;
      continue;
    }
    if (!error_interrupted(last_socket_error())) return -1;
  }
}

// One recv of up to limit bytes into the stream; its result (0 at the end of the stream).
int recv_into_stream(w_link& link, int want, long limit) {
  rx_stream& s = link.stream;
  int room = 0;
  unsigned char* at = s.raw_room(want, &room);
  if (at == nullptr) return kReceiveNoMemory;
  const int ask = static_cast<int>(room < limit ? room : limit);
  for (;;) {
    const int n = recv_bytes(link.tsocket, at, ask);
    if (n < 0 && error_interrupted(last_socket_error())) continue;
    if (n < 0) {
      if (!error_would_block(last_socket_error())) link.failed = true;
      return n;
    }
    if (n == 0) {
      link.ended = true;
      return 0;
    }
    link.last_block = n;
    heard(link);
    s.decode_raw(n, &link.rx);
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

rx_stream& link_stream(w_link& link) { return link.stream; }

void heard(w_link& link) {
  link.heard_us = monotonic_us();
  link.answered = true;
  link.asked_us = 0;
}

int stream_receive(w_link& link, const deadline& d, int want) {
  if (link.ended) return kReceiveEnded;
  if (link.tsocket == kNoSocket) return -1;
  if (!d.unlimited) {
    const int w = wait_until(link, d);
    if (w <= 0) return w;
  }
  const int n = recv_into_stream(link, want > kReceiveSize ? want : kReceiveSize, LONG_MAX);
  return n == 0 ? kReceiveEnded : n;
}

int stream_receive_waiting(w_link& link, int limit) {
  if (link.ended) return kReceiveEnded;
  if (link.tsocket == kNoSocket) return -1;
  if (!bytes_waiting(link.tsocket)) return kReceiveTimedOut;
  const int n = recv_into_stream(link, limit, limit);
  return n == 0 ? kReceiveEnded : n;
}

int last_block_size(w_link& link) { return link.last_block; }

void stream_reset(w_link& link) {
  link.stream.reset();
  link.ended = false;
  link.failed = false;
  link.last_block = 0;
  link.answered = false;
  link.asked_us = 0;
}

}  // namespace mixlink::detail

using namespace mixlink::detail;

int wLinkRecv(w_link* link, unsigned char* buf, int capacity, int timeout) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  rx_stream& s = link->stream;
  if (s.size() == 0 && !link->ended) {
    if (timeout != 0) {
      const int r = wait_readable(link->tsocket, &link->tfds, timeout);
      if (r <= 0) return r;
    }
    // One block: read again, without a new wait, while full reads leave more waiting; never
    // more than one byte beyond the capacity, which is enough to know the block does not fit.
    const long limit = (capacity > 0 ? static_cast<long>(capacity) : 0) + 1;
    long total = 0;
    while (total < limit) {
      const long ask = limit - total < kReceiveSize ? limit - total : kReceiveSize;
      const int n = recv_into_stream(*link, static_cast<int>(ask), ask);
      if (n < 0) return n;
      if (n == 0) break;
      total += n;
      if (n < ask || !bytes_waiting(link->tsocket)) break;
    }
  }
  const int n = s.size();
  const int copy = n < capacity ? n : (capacity > 0 ? capacity : 0);
  if (copy > 0) std::memcpy(buf, s.data(), static_cast<size_t>(copy));
  s.consume(n);
  return n > capacity ? W_ERR_TOO_BIG : n;
}

int wRecv(unsigned char* buf, int capacity, int timeout) { return wLinkRecv(wLinkDefault(), buf, capacity, timeout); }

int wLinkStatus(w_link* link) {
  if (link == nullptr || link->tsocket == kNoSocket) return W_ERR_NO_LINK;
  if (link->failed) return W_ERR_RECEIVE;
  return link->ended ? 0 : 1;
}

int wLinkState() { return wLinkStatus(wLinkDefault()); }
