// SPDX-License-Identifier: MIT
// Reads for a program that watches the link rather than asking the console for values: a meter
// receive that says who sent the datagram, and a drain of the TCP connection that notices when
// the console has gone.
#include <mixlink/link.h>

#include "link_state.h"
#include "platform.h"
#include "stream.h"

namespace {

// One drain call reads at most this much, so a console that floods the connection cannot keep
// the caller in it; the rest waits for the next call.
constexpr int kDrainChunk = 4096;
constexpr int kDrainMaxReads = 64;

}  // namespace

int wLinkMRecvFrom(w_link* link, unsigned char* buf, int size, int timeout, uint32_t* sender) {
  if (sender != nullptr) *sender = 0;
  if (link == nullptr) return W_ERR_ARGUMENT;
  if (timeout != 0) {
    // A negative time-out looks without waiting: even a wait of 1 us would put the caller to
    // sleep for the timer's slack when nothing is queued.
    const int r = mixlink::detail::wait_readable(link->msocket, &link->mfds, timeout < 0 ? 0 : timeout);
    if (r <= 0) return r;
  }
  return mixlink::detail::recv_datagram(link->msocket, buf, size, sender);
}

int wMRecvFrom(unsigned char* buf, int size, int timeout, uint32_t* sender) {
  return wLinkMRecvFrom(wLinkDefault(), buf, size, timeout, sender);
}

int wLinkDrainTCP(w_link* link) {
  namespace detail = mixlink::detail;
  if (link == nullptr) return W_ERR_ARGUMENT;
  if (link->tsocket == detail::kNoSocket) return -3;
  // The bytes go through the receive stream like any read's, so an escape cut by the end of one
  // read decodes with the next, a channel select among them moves the receive channel, and the
  // end of the stream is what wLinkStatus reports afterwards. What the stream held already is
  // dropped too.
  detail::rx_stream& s = link->stream;
  int total = s.size();
  s.consume(total);
  for (int i = 0; i < kDrainMaxReads; ++i) {
    const int n = detail::stream_receive_waiting(*link, kDrainChunk);
    if (n == detail::kReceiveTimedOut) break;
    if (n < 0) return -3;  // the console closed the connection, or the read failed
    total += n;
    s.consume(s.size());
  }
  return total;
}

int wDrainTCP(void) { return wLinkDrainTCP(wLinkDefault()); }
