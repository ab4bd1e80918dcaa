// SPDX-License-Identifier: MIT
// Reads for a program that watches the link rather than asking the console for values: a meter
// receive that says who sent the datagram, and a drain of the TCP connection that notices when
// the console has gone.
#include <mixlink/link.h>

#include "platform.h"
#include "sockets.h"
#include "stream.h"

namespace {

// One drain call reads at most this much, so a console that floods the connection cannot keep
// the caller in it; the rest waits for the next call.
constexpr int kDrainChunk = 4096;
constexpr int kDrainMaxReads = 64;

}  // namespace

int wMRecvFrom(unsigned char* buf, int size, int timeout, uint32_t* sender) {
  if (sender != nullptr) *sender = 0;
  if (timeout != 0) {
    // A negative time-out looks without waiting: even a wait of 1 us would put the caller to
    // sleep for the timer's slack when nothing is queued.
    const int r = mixlink::detail::wait_readable(wing_msocket, &wudp_mfds, timeout < 0 ? 0 : timeout);
    if (r <= 0) return r;
  }
  return mixlink::detail::recv_datagram(wing_msocket, buf, size, sender);
}

int wDrainTCP(void) {
  namespace detail = mixlink::detail;
  if (wing_tsocket == detail::kNoSocket) return -3;
  // The bytes go through the receive stream like any read's, so an escape cut by the end of one
  // read decodes with the next, a channel select among them moves ch_id_rx, and the end of the
  // stream is what wLinkState reports afterwards. What the stream held already is dropped too.
  detail::rx_stream& s = detail::link_stream();
  int total = s.size();
  s.consume(total);
  for (int i = 0; i < kDrainMaxReads; ++i) {
    const int n = detail::stream_receive_waiting(kDrainChunk);
    if (n == detail::kReceiveTimedOut) break;
    if (n < 0) return -3;  // the console closed the connection, or the read failed
    total += n;
    s.consume(s.size());
  }
  return total;
}
