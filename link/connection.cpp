// SPDX-License-Identifier: MIT
// The one TCP connection to the console: opening, keep-alive with reconnection, framed sends,
// un-framed receives, the UDP datagram receive and a few small helpers.
#include <cstdio>
#include <cstring>

#include <mixlink/link.h>
#include <mixlink/protocol.h>

#include "diagnostics.h"
#include "platform.h"
#include "sockets.h"
#include "stream.h"

using namespace mixlink;
using mixlink::detail::drop_socket;
using mixlink::detail::kNoSocket;

mixlink::detail::socket_t wing_tsocket = kNoSocket;
mixlink::detail::socket_t wing_msocket = kNoSocket;
struct sockaddr_in WING_tip = {};
struct sockaddr_in WING_mip = {};
struct sockaddr* WING_mip_addr = reinterpret_cast<struct sockaddr*>(&WING_mip);
int Wip_mlen = sizeof(struct sockaddr_in);
char SavedIP[64] = "";
int64_t wnext = 0;
int64_t wnow = 0;
mixlink::detail::wait_set wtcpr_fds;
mixlink::detail::wait_set wudp_mfds;

w_socket wTCPSocket(void) { return detail::to_public(wing_tsocket); }

w_socket wMeterSocket(void) { return detail::to_public(wing_msocket); }

uint32_t wConsoleAddress(void) { return WING_tip.sin_addr.s_addr; }

namespace {

// A console that neither accepts nor refuses (an address that drops the attempt) is given up on
// after this long, instead of the minutes the system's own retries take.
constexpr int kConnectTimeoutMs = 3000;
constexpr int kFirstReplyWaitUs = 900000;
constexpr int kKeepAliveSeconds = 6;
// How long the keep-alive's answer is expected: one that comes later reads as an event.
constexpr int kKeepAliveAnswerUs = 2000000;
constexpr int kReconnectPauseMs = 100;
constexpr int kConnectAttempts = 3;
constexpr int kMapReadSize = 2048;
constexpr int kMapPauseMs = 200;

void drop_both_sockets() {
  drop_socket(wing_tsocket);
  drop_socket(wing_msocket);
  detail::stream_reset();
}

// Whole seconds of the monotonic clock: the keep-alive's time, which a step of the wall clock
// (a time server's correction, a laptop waking up) does not move.
int64_t monotonic_seconds() { return detail::monotonic_us() / 1000000; }

enum class KeepAlive { NotDue, Sent, Failed };

// The due check and the send of the keep-alive request. A failed send reports itself, pauses
// and drops the connection; reconnecting is left to the caller.
KeepAlive keep_alive_step() {
  wnow = monotonic_seconds();
  if (wnow <= wnext) return KeepAlive::NotDue;
  wnext = wnow + kKeepAliveSeconds;
  if (detail::send_raw(kKeepAliveRequest, sizeof kKeepAliveRequest) >= 0) {
    // Nobody waits for its reply: when it comes, the reads know it for a late answer.
    detail::link_stream().owed().add(kKeepAliveHash, detail::monotonic_us() + kKeepAliveAnswerUs, true);
    return KeepAlive::Sent;
  }
  detail::diagnose("Network error %d, connection reset!!!\n ---- Please check the state of the console ----\n",
                   detail::last_socket_error());
  detail::sleep_ms(kReconnectPauseMs);
  wnext = 0;
  drop_both_sockets();
  return KeepAlive::Failed;
}

// One connection attempt. *keep_alive_failed tells the caller that the connection was made but
// dropped again because its first keep-alive could not be sent, so another attempt is worth it.
int connect_once(const char* address, bool* keep_alive_failed, const detail::deadline& d) {
  *keep_alive_failed = false;
  drop_both_sockets();
  // A text that is not an address comes back as all ones; never let it become a connect to the
  // limited broadcast address.
  uint32_t ip = 0;
  if (!detail::parse_ipv4(address, &ip)) return -7;
  wing_tsocket = detail::open_socket(true);
  if (wing_tsocket == kNoSocket) return -7;
  detail::set_option(wing_tsocket, SOL_SOCKET, SO_KEEPALIVE, 1);
  detail::set_option(wing_tsocket, IPPROTO_TCP, TCP_NODELAY, 1);
  std::memset(&WING_tip, 0, sizeof WING_tip);
  WING_tip.sin_family = AF_INET;
  WING_tip.sin_port = htons(kNativePort);
  WING_tip.sin_addr.s_addr = ip;
  int connect_ms = kConnectTimeoutMs;
  if (!d.unlimited) {
    const int64_t left_ms = (d.at_us - detail::monotonic_us() + 999) / 1000;
    if (left_ms < connect_ms) connect_ms = left_ms > 0 ? static_cast<int>(left_ms) : 1;
  }
  if (detail::connect_within(wing_tsocket, WING_tip, connect_ms) != 0) return -7;
  const unsigned char select1[2] = {kEscape, static_cast<unsigned char>(kSelectFirst + kValueChannel)};
  if (detail::send_raw(select1, 2) < 0) return -5;
  // The console is now on channel 1 behind wSend's back: make its next send select again.
  ch_id_tx = -1;
  if (keep_alive_step() == KeepAlive::Failed) {
    *keep_alive_failed = true;
    return -3;  // the reply wait would run on the dropped socket and fail
  }
  // Whatever the console answers first is of no use, but it may switch the receive channel.
  const int first = detail::stream_receive(detail::earlier(d, kFirstReplyWaitUs), 0);
  if (first < 0 && first != detail::kReceiveEnded) return -3;
  if (first > 0) {
    detail::rx_stream& s = detail::link_stream();
    s.consume(s.size());
    s.owed().take(kKeepAliveHash);
  }
  wnext = 0;
  if (address != SavedIP) {
    std::strncpy(SavedIP, address, sizeof SavedIP - 1);
    SavedIP[sizeof SavedIP - 1] = '\0';
  }
  return 1;
}

}  // namespace

int wOpen(char* address) { return wOpenTimed(address, 0); }

int wOpenTimed(char* address, int timeout) {
  wnext = 0;
  drop_both_sockets();
  if (address == nullptr) return -6;
  if (address[0] == '\0' && wSearchWING(address) == 0) return -6;
  return wTCPConnectTimed(address, timeout);
}

int wTCPConnect(const char* address) { return wTCPConnectTimed(address, 0); }

int wTCPConnectTimed(const char* address, int timeout) {
  const detail::deadline d = detail::deadline_or_unlimited(timeout);
  // A console that takes the connection but drops it at once would otherwise make every attempt
  // start another one; a few attempts are enough to ride out a console that is restarting.
  int result = -7;
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    bool keep_alive_failed = false;
    result = connect_once(address, &keep_alive_failed, d);
    if (!keep_alive_failed || detail::passed(d)) break;
  }
  return result;
}

int wKeepAlive() {
  if (keep_alive_step() != KeepAlive::Failed) return 1;
  if (SavedIP[0] != '\0' || wSearchWING(SavedIP) != 0) return wTCPConnect(SavedIP);
  return -6;
}

int wClose() {
  drop_both_sockets();
  return 1;
}

int wSend(int channel, unsigned char* payload, int length) {
  if (channel != ch_id_tx) {
    ch_id_tx = channel;
    const unsigned char select[2] = {kEscape, static_cast<unsigned char>(kSelectFirst + channel)};
    const int r = detail::send_raw(select, 2);
    if (r < 0) return r;
  }
  const int n = wSendEscapes(payload, length);
  return detail::send_raw(payload, n);
}

int wMRecv(unsigned char* buf, int size, int timeout) {
  if (timeout != 0) {
    const int r = detail::wait_readable(wing_msocket, &wudp_mfds, timeout);
    if (r <= 0) return r;
  }
  return detail::recv_datagram(wing_msocket, buf, size, nullptr);
}

int wSizeMap() {
  const unsigned char request[4] = {kEscape, kSelectFirst + kValueChannel, kMapSizeRequest, kReqValue};
  if (detail::send_raw(request, 4) < 0) return -4;
  ch_id_tx = -1;
  detail::sleep_ms(kMapPauseMs);
  unsigned char scratch[kMapReadSize];
  int total = 0;
  for (;;) {
    const int n = detail::recv_bytes(wing_tsocket, scratch, kMapReadSize);
    if (n < 0) return -3;
    total += n;
    // A full read may be the whole reply: only read on when more has come.
    if (n < kMapReadSize || !detail::bytes_waiting(wing_tsocket)) break;
  }
  return (total & ~15) + 16;
}

int wVer() { return 0x3005; }

int wFormatHex(const unsigned char* data, int length, char* text, int size) {
  static const char kDigits[] = "0123456789abcdef";
  const int n = length > 0 ? length : 0;
  if (size < (n > 0 ? 3LL * n : 1LL)) return -10;
  char* at = text;
  for (int i = 0; i < n; ++i) {
    if (i > 0) *at++ = ' ';
    *at++ = kDigits[data[i] >> 4];
    *at++ = kDigits[data[i] & 0x0F];
  }
  *at = '\0';
  return static_cast<int>(at - text);
}

int wDumpBuffer(const unsigned char* data, int length) {
  std::printf("len: %d, data:", length);
  // A piece at a time, so that a buffer of any length needs no allocation.
  constexpr int kPiece = 256;
  char text[3 * kPiece];
  for (int at = 0; data != nullptr && at < length; at += kPiece) {
    wFormatHex(data + at, length - at < kPiece ? length - at : kPiece, text, sizeof text);
    std::printf(" %s", text);
  }
  std::printf("\n");
  return std::fflush(stdout);
}
