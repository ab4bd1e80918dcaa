// SPDX-License-Identifier: MIT
// The TCP connection of a link to its console: the link itself, opening, keep-alive with
// reconnection, liveness, framed sends, the UDP datagram receive and a few small helpers. The
// classic calls are the same operations on the default link.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <mixlink/link.h>
#include <mixlink/protocol.h>

#include "diagnostics.h"
#include "link_state.h"
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

w_link::w_link(bool default_link)
    : tsocket(default_link ? wing_tsocket : own.tsocket),
      msocket(default_link ? wing_msocket : own.msocket),
      tip(default_link ? WING_tip : own.tip),
      mip(default_link ? WING_mip : own.mip),
      saved(default_link ? SavedIP : own.saved),
      next(default_link ? wnext : own.next),
      now(default_link ? wnow : own.now),
      tx(default_link ? ch_id_tx : own.tx),
      rx(default_link ? ch_id_rx : own.rx),
      tfds(default_link ? wtcpr_fds : own.tfds),
      mfds(default_link ? wudp_mfds : own.mfds) {}

namespace mixlink::detail {

w_link& default_link() {
  static w_link link(true);
  return link;
}

}  // namespace mixlink::detail

w_link* wLinkNew(void) { return new (std::nothrow) w_link(false); }

void wLinkFree(w_link* link) {
  if (link == nullptr) return;
  wLinkClose(link);
  if (link != &detail::default_link()) delete link;
}

w_link* wLinkDefault(void) { return &detail::default_link(); }

w_socket wLinkTCPSocket(w_link* link) { return link ? detail::to_public(link->tsocket) : W_NO_SOCKET; }
w_socket wTCPSocket(void) { return wLinkTCPSocket(wLinkDefault()); }

w_socket wLinkMeterSocket(w_link* link) { return link ? detail::to_public(link->msocket) : W_NO_SOCKET; }
w_socket wMeterSocket(void) { return wLinkMeterSocket(wLinkDefault()); }

uint32_t wLinkConsoleAddress(w_link* link) { return link ? link->tip.sin_addr.s_addr : 0; }
uint32_t wConsoleAddress(void) { return wLinkConsoleAddress(wLinkDefault()); }

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
constexpr int64_t kSilenceLimitUs = int64_t{W_LINK_SILENCE_MS} * 1000;
// A console silent for this long is asked (a keep-alive's read) whether it is still there, so
// that a frozen one shows within the silence limit and this.
constexpr int64_t kProbeAfterUs = 1000000;

void drop_both_sockets(w_link& link) {
  drop_socket(link.tsocket);
  drop_socket(link.msocket);
  detail::stream_reset(link);
}

// Whole seconds of the monotonic clock: the keep-alive's time, which a step of the wall clock
// (a time server's correction, a laptop waking up) does not move.
int64_t monotonic_seconds() { return detail::monotonic_us() / 1000000; }

// Sends the keep-alive request: a read whose answer shows that the console is alive. Nobody waits
// for it; when it comes the reads know it for a late answer. The request goes raw, on whatever
// channel wSend selected last; only one known to go on the value channel is sure to be answered,
// so only that one starts the silence clock of wLinkAlive (the keep-alive after a meter command
// goes to the meter channel, where the console takes it for nothing).
int send_keep_alive(w_link& link) {
  const int r = detail::send_raw(link, kKeepAliveRequest, sizeof kKeepAliveRequest);
  if (r < 0) return r;
  // The console may be on the value channel although wSend has not said so (a connect selects it
  // raw), so an answer is always looked for.
  link.stream.owed().add(kKeepAliveHash, detail::monotonic_us() + kKeepAliveAnswerUs, true);
  if (link.tx == kValueChannel && link.asked_us == 0) link.asked_us = detail::monotonic_us();
  return r;
}

// The liveness question: the keep-alive's read on the value channel, selected first when wSend
// last selected another.
int ask_console(w_link& link) {
  if (link.tx != kValueChannel) {
    const unsigned char select[2] = {kEscape, static_cast<unsigned char>(kSelectFirst + kValueChannel)};
    const int r = detail::send_raw(link, select, 2);
    if (r < 0) return r;
    link.tx = kValueChannel;
  }
  return send_keep_alive(link);
}

enum class KeepAlive { NotDue, Sent, Failed };

// The due check and the send of the keep-alive request. A failed send reports itself, pauses
// and drops the connection; reconnecting is left to the caller.
KeepAlive keep_alive_step(w_link& link) {
  link.now = monotonic_seconds();
  if (link.now <= link.next) return KeepAlive::NotDue;
  link.next = link.now + kKeepAliveSeconds;
  if (send_keep_alive(link) >= 0) return KeepAlive::Sent;
  detail::diagnose(link,
                   "Network error %d, connection reset!!!\n ---- Please check the state of the console ----\n",
                   detail::last_socket_error());
  detail::sleep_ms(kReconnectPauseMs);
  link.next = 0;
  drop_both_sockets(link);
  return KeepAlive::Failed;
}

// An address as people write it: a dotted IPv4 address or a host name, optionally followed by
// ":PORT". Stores the host text (room for size bytes) and the port; false for a text that is
// neither (an empty host, a port that is no number from 1 to 65535, a host too long).
bool split_address(const char* text, char* host, size_t size, int* port) {
  *port = kNativePort;
  size_t length = std::strlen(text);
  const char* colon = std::strrchr(text, ':');
  if (colon != nullptr) {
    const char* digits = colon + 1;
    if (*digits == '\0' || std::strlen(digits) > 5) return false;
    long p = 0;
    for (const char* c = digits; *c != '\0'; ++c) {
      if (!std::isdigit(static_cast<unsigned char>(*c))) return false;
      p = p * 10 + (*c - '0');
    }
    if (p < 1 || p > 65535) return false;
    *port = static_cast<int>(p);
    length = static_cast<size_t>(colon - text);
  }
  if (length == 0 || length >= size) return false;
  std::memcpy(host, text, length);
  host[length] = '\0';
  return true;
}

struct Target {
  uint32_t ip = 0;
  int port = kNativePort;
};

// How a connection attempt treats the console's first answer.
enum class Answer {
  optional,  // wait kFirstReplyWaitUs and connect whether one came or not
  required,  // a connection counts only once the console has answered on it
};

// One connection attempt. *keep_alive_failed tells the caller that the connection was made but
// dropped again because its first keep-alive could not be sent, so another attempt is worth it.
int connect_once(w_link& link, const Target& to, const char* address, Answer answer, int wait_us,
                 bool* keep_alive_failed, const detail::deadline& d) {
  *keep_alive_failed = false;
  drop_both_sockets(link);
  link.tsocket = detail::open_socket(true);
  if (link.tsocket == kNoSocket) return W_ERR_CONNECT;
  detail::set_option(link.tsocket, SOL_SOCKET, SO_KEEPALIVE, 1);
  detail::set_option(link.tsocket, IPPROTO_TCP, TCP_NODELAY, 1);
  std::memset(&link.tip, 0, sizeof link.tip);
  link.tip.sin_family = AF_INET;
  link.tip.sin_port = htons(static_cast<uint16_t>(to.port));
  link.tip.sin_addr.s_addr = to.ip;
  link.port = to.port;
  int connect_ms = kConnectTimeoutMs;
  if (!d.unlimited) {
    const int64_t left_ms = (d.at_us - detail::monotonic_us() + 999) / 1000;
    if (left_ms < connect_ms) connect_ms = left_ms > 0 ? static_cast<int>(left_ms) : 1;
  }
  if (detail::connect_within(link.tsocket, link.tip, connect_ms) != 0) return W_ERR_CONNECT;
  const unsigned char select1[2] = {kEscape, static_cast<unsigned char>(kSelectFirst + kValueChannel)};
  if (detail::send_raw(link, select1, 2) < 0) return W_ERR_SELECT;
  // The console is now on channel 1 behind wSend's back: make its next send select again.
  link.tx = -1;
  link.heard_us = detail::monotonic_us();
  if (keep_alive_step(link) == KeepAlive::Failed) {
    *keep_alive_failed = true;
    return W_ERR_NO_ANSWER;  // the reply wait would run on the dropped socket and fail
  }
  // Whatever the console answers first is of no use, but it may switch the receive channel.
  const int first = detail::stream_receive(link, detail::earlier(d, wait_us), 0);
  if (first < 0 && first != detail::kReceiveEnded) return W_ERR_NO_ANSWER;
  if (first > 0) {
    detail::rx_stream& s = link.stream;
    s.consume(s.size());
    s.owed().take(kKeepAliveHash);
  } else if (answer == Answer::required) {
    // Accepted but silent: a listen backlog of a console that does not run, or one that ended
    // the connection at once. Neither is a console to talk to.
    drop_both_sockets(link);
    return W_ERR_NO_ANSWER;
  }
  link.next = 0;
  if (address != link.saved) {
    std::strncpy(link.saved, address, 63);
    link.saved[63] = '\0';
  }
  return W_SUCCESS;
}

// A few attempts ride out a console that takes the connection but drops it at once (it is
// restarting), without starting another attempt for every one.
int connect_to(w_link& link, const Target& to, const char* address, Answer answer, int wait_us,
               const detail::deadline& d = detail::deadline{}) {
  int result = W_ERR_CONNECT;
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    bool keep_alive_failed = false;
    result = connect_once(link, to, address, answer, wait_us, &keep_alive_failed, d);
    if (!keep_alive_failed || detail::passed(d)) break;
  }
  return result;
}

// Connects to address in any form wLinkOpen takes, by deadline d.
int connect_address(w_link& link, const char* address, Answer answer, int wait_us,
                    const detail::deadline& d = detail::deadline{}) {
  char host[64];
  Target to;
  if (!split_address(address, host, sizeof host, &to.port)) return W_ERR_UNKNOWN_HOST;
  if (!detail::resolve_ipv4(host, &to.ip)) return W_ERR_UNKNOWN_HOST;
  return connect_to(link, to, address, answer, wait_us, d);
}

// Sends the keep-alive when due; after a failed send reconnects to the saved address (or a
// console found by discovery). A reconnection counts only once the console answers on it.
int keep_alive(w_link& link) {
  if (keep_alive_step(link) != KeepAlive::Failed) return W_SUCCESS;
  if (link.saved[0] != '\0' || wSearchWING(link.saved) != 0)
    return connect_address(link, link.saved, Answer::required, kFirstReplyWaitUs);
  return W_ERR_NO_CONSOLE;
}

}  // namespace

int wLinkOpenTimed(w_link* link, char* address, int timeout) {
  if (link == nullptr || address == nullptr) return W_ERR_ARGUMENT;
  link->next = 0;
  drop_both_sockets(*link);
  if (address[0] == '\0' && wSearchWING(address) == 0) return W_ERR_NO_CONSOLE;
  if (address[0] == '\0') return W_ERR_CONNECT;
  return connect_address(*link, address, Answer::optional, kFirstReplyWaitUs, detail::deadline_or_unlimited(timeout));
}

int wLinkOpen(w_link* link, char* address) { return wLinkOpenTimed(link, address, 0); }

int wOpen(char* address) { return wOpenTimed(address, 0); }

int wOpenTimed(char* address, int timeout) {
  w_link& link = detail::default_link();
  link.next = 0;
  drop_both_sockets(link);
  if (address == nullptr) return W_ERR_NO_CONSOLE;
  if (address[0] == '\0' && wSearchWING(address) == 0) return W_ERR_NO_CONSOLE;
  return wTCPConnectTimed(address, timeout);
}

int wTCPConnect(const char* address) { return wTCPConnectTimed(address, 0); }

int wTCPConnectTimed(const char* address, int timeout) {
  // A text that is not a dotted address comes back from the parser as all ones; never let it
  // become a connect to the limited broadcast address.
  Target to;
  if (address == nullptr || !detail::parse_ipv4(address, &to.ip)) return W_ERR_CONNECT;
  return connect_to(detail::default_link(), to, address, Answer::optional, kFirstReplyWaitUs,
                    detail::deadline_or_unlimited(timeout));
}

int wLinkKeepAlive(w_link* link) { return link ? keep_alive(*link) : W_ERR_ARGUMENT; }
int wKeepAlive() { return keep_alive(detail::default_link()); }

int wLinkAlive(w_link* link) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  if (link->tsocket == kNoSocket) return W_ERR_NO_LINK;
  // What has come is taken into the stream, where it stays for the reads; having come is enough.
  const int got = detail::stream_receive_waiting(*link, 64 * 1024);
  if (got == detail::kReceiveEnded || (got < 0 && got != detail::kReceiveNoMemory)) return W_ERR_RECEIVE;
  const int64_t now = detail::monotonic_us();
  if (link->asked_us != 0) return now - link->asked_us >= kSilenceLimitUs ? W_ERR_LOST : W_SUCCESS;
  if (now - link->heard_us >= kProbeAfterUs && ask_console(*link) < 0) return W_ERR_SEND;
  return W_SUCCESS;
}

int wLinkAnswered(w_link* link) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  if (link->tsocket == kNoSocket) return W_ERR_NO_LINK;
  return link->answered ? 1 : 0;
}

int wLinkSilence(w_link* link) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  if (link->tsocket == kNoSocket) return W_ERR_NO_LINK;
  const int64_t ms = (detail::monotonic_us() - link->heard_us) / 1000;
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

int wLinkClose(w_link* link) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  drop_both_sockets(*link);
  return W_SUCCESS;
}

int wClose() { return wLinkClose(wLinkDefault()); }

int wLinkSend(w_link* link, int channel, unsigned char* payload, int length) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  if (channel != link->tx) {
    link->tx = channel;
    const unsigned char select[2] = {kEscape, static_cast<unsigned char>(kSelectFirst + channel)};
    const int r = detail::send_raw(*link, select, 2);
    if (r < 0) return r;
  }
  const int n = wSendEscapes(payload, length);
  return detail::send_raw(*link, payload, n);
}

int wSend(int channel, unsigned char* payload, int length) {
  return wLinkSend(wLinkDefault(), channel, payload, length);
}

int wLinkMRecv(w_link* link, unsigned char* buf, int size, int timeout) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  if (timeout != 0) {
    const int r = detail::wait_readable(link->msocket, &link->mfds, timeout);
    if (r <= 0) return r;
  }
  return detail::recv_datagram(link->msocket, buf, size, nullptr);
}

int wMRecv(unsigned char* buf, int size, int timeout) { return wLinkMRecv(wLinkDefault(), buf, size, timeout); }

int wLinkSizeMap(w_link* link) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  const unsigned char request[4] = {kEscape, kSelectFirst + kValueChannel, kMapSizeRequest, kReqValue};
  if (detail::send_raw(*link, request, 4) < 0) return W_ERR_SEND;
  link->tx = -1;
  detail::sleep_ms(kMapPauseMs);
  unsigned char scratch[kMapReadSize];
  int total = 0;
  for (;;) {
    const int n = detail::recv_bytes(link->tsocket, scratch, kMapReadSize);
    if (n < 0) return W_ERR_RECEIVE;
    if (n > 0) detail::heard(*link);
    total += n;
    // A full read may be the whole reply: only read on when more has come.
    if (n < kMapReadSize || !detail::bytes_waiting(link->tsocket)) break;
  }
  return (total & ~15) + 16;
}

int wSizeMap() { return wLinkSizeMap(wLinkDefault()); }

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

const char* wResultText(int result) {
  if (result >= W_SUCCESS) return "success";
  switch (result) {
    case W_TIMED_OUT: return "no reply in time, or nothing to report";
    case -1: return "no connection, a socket call failed, or the node is of the wrong kind for the read";
    case -2: return "token out of range, or a malformed reply";
    case W_ERR_RECEIVE: return "receive failed, or the console did not answer";
    case W_ERR_SEND: return "send failed";
    case W_ERR_SELECT: return "channel select failed";
    case W_ERR_NO_CONSOLE: return "no console found";
    case W_ERR_CONNECT: return "socket set-up or connect failed";
    case W_ERR_METER_PORT: return "the meter port could not be bound";
    case W_ERR_NO_MEMORY: return "out of memory";
    case W_ERR_TOO_BIG: return "reply larger than its buffer";
    case W_ERR_UNKNOWN_PATH: return "no such node";
    case W_ERR_UNKNOWN_HOST: return "no such host";
    case W_ERR_LOST: return "the console stopped answering";
    case W_ERR_ARGUMENT: return "invalid argument";
    default: return "unknown result";
  }
}
