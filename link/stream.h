// SPDX-License-Identifier: MIT
// The receive stream of the connection, the socket part: waiting with a deadline and taking what
// the console sent into the stream. Every read of the library receives through here, so that no
// bytes are lost between reads and every timed read ends by its deadline.
#pragma once

#include <cstdint>

#include "rx_stream.h"

struct w_link;

namespace mixlink::detail {

// A moment on the monotonic clock (microseconds, platform.h's monotonic_us) by which a read must
// return, or none.
struct deadline {
  bool unlimited = true;
  int64_t at_us = 0;
};

// The deadline timeout_us microseconds from now (0 or less: now).
deadline deadline_after(int timeout_us);
// The deadline of a read that takes a time-out where 0 means without limit.
inline deadline deadline_or_unlimited(int timeout_us) {
  return timeout_us > 0 ? deadline_after(timeout_us) : deadline{};
}
// The earlier of d and timeout_us from now.
deadline earlier(const deadline& d, int timeout_us);
bool passed(const deadline& d);
// Pauses until d; an unlimited deadline returns at once.
void sleep_until(const deadline& d);

// link's receive stream.
rx_stream& link_stream(w_link& link);

// stream_receive's results besides a byte count.
inline constexpr int kReceiveTimedOut = 0;
inline constexpr int kReceiveEnded = -100;    // the console has ended the stream
inline constexpr int kReceiveNoMemory = -9;

// Waits for bytes (without limit when d is unlimited: then recv itself blocks, so a receive
// time-out set on the socket still holds), reads what has come (asking for at least want bytes)
// and decodes it onto the stream. Returns the raw bytes read (> 0), kReceiveTimedOut when d
// passed first, kReceiveEnded once the console has ended the stream, kReceiveNoMemory, or the
// negative result of a failed wait or read.
int stream_receive(w_link& link, const deadline& d, int want);

// Raw bytes read by the last receive into link's stream.
int last_block_size(w_link& link);

// Reads, without waiting, what the console has sent into the stream, at most limit raw bytes in
// one read; returns the raw bytes read (> 0), kReceiveTimedOut when none were waiting,
// kReceiveEnded once the console has ended the stream, kReceiveNoMemory, or a negative failed read.
int stream_receive_waiting(w_link& link, int limit);

// Forgets the stream of a connection that is gone; called whenever the TCP socket is dropped.
void stream_reset(w_link& link);

}  // namespace mixlink::detail
