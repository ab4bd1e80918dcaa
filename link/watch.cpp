// Reads for a program that watches the link rather than asking the console for values: a meter
// receive that says who sent the datagram, and a drain of the TCP connection that notices when
// the console has gone.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>

#include <mixlink/link.h>

#include "platform.h"

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
  sockaddr_in from{};
  socklen_t from_length = sizeof from;
  const size_t len = size > 0 ? static_cast<size_t>(size) : 0;
  const int n = static_cast<int>(
      ::recvfrom(wing_msocket, buf, len, 0, reinterpret_cast<sockaddr*>(&from), &from_length));
  if (n >= 0 && sender != nullptr && from.sin_family == AF_INET) *sender = from.sin_addr.s_addr;
  return n;
}

int wDrainTCP(void) {
  if (wing_tsocket < 0) return -3;
  unsigned char chunk[kDrainChunk];
  int total = 0;
  for (int i = 0; i < kDrainMaxReads; ++i) {
    const ssize_t n = ::recv(wing_tsocket, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      // The bytes are thrown away, but a channel select among them still moves the receive
      // channel, as it would have in wRecv.
      wRecvEscapes(chunk, static_cast<int>(n));
      total += static_cast<int>(n);
      continue;
    }
    if (n == 0) return -3;  // end of stream: the console closed the connection
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    return -3;
  }
  return total;
}
