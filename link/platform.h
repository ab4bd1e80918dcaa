// SPDX-License-Identifier: MIT
// The one seam between the console link and the operating system: sockets, waiting, the local
// /24 address, the monotonic clock and sleeping. platform_posix.cpp implements it over POSIX
// (poll, so any descriptor number works), platform_win32.cpp over Windows Sockets (select, which
// takes handles). Internal to the library, mixsim and the tests: nothing above link/ includes a
// socket header, and no other file names a socket call of one platform only.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <cstdint>

#include <mixlink/link.h>

struct w_link;

namespace mixlink::detail {

#ifdef _WIN32
using socket_t = SOCKET;
inline constexpr socket_t kNoSocket = INVALID_SOCKET;
// What one wait on one socket needs: select's set on Windows.
using wait_set = fd_set;
#else
using socket_t = int;
inline constexpr socket_t kNoSocket = -1;
// What one wait on one socket needs: poll's entry on POSIX systems.
using wait_set = pollfd;
#endif

// The handle as callers of the public accessors see it (W_NO_SOCKET for none).
inline w_socket to_public(socket_t s) { return s == kNoSocket ? W_NO_SOCKET : static_cast<w_socket>(s); }

// Starts the socket layer (once per process; Windows Sockets 2.2, nothing to do elsewhere);
// returns false when it cannot be started.
bool net_start();

// The last socket error of the calling thread: errno, or WSAGetLastError() on Windows. This is the
// code the diagnostics print.
int last_socket_error();
// Whether code (from last_socket_error) means "nothing now, try again" or "interrupted by a signal".
bool error_would_block(int code);
bool error_interrupted(int code);

// A new IPv4 TCP (stream true) or UDP socket that never raises SIGPIPE; kNoSocket on failure.
// Starts the socket layer first.
socket_t open_socket(bool stream);

// Closes s when it holds a socket and marks it as none, so a dropped socket is never reused.
void drop_socket(socket_t& s);

// Sets an integer socket option; returns true when it was set.
bool set_option(socket_t s, int level, int name, int value);

// Connects s to address, giving up after timeout_ms when the attempt is neither accepted nor
// refused (a peer that drops it); returns 0 connected, -1 refused, failed or timed out.
int connect_within(socket_t s, const sockaddr_in& address, int timeout_ms);

// Waits until s is readable (or at its end) using set; timeout in microseconds, 0 looks without
// waiting. Returns 1 readable, 0 time-out, negative when the wait failed (kNoSocket included).
int wait_readable(socket_t s, wait_set* set, int timeout_us);

// True when bytes (or the end of the stream) wait on s right now.
bool bytes_waiting(socket_t s);

// One send of n bytes on s, never raising SIGPIPE; returns the bytes sent or -1.
int send_bytes(socket_t s, const void* bytes, int n);
// One recv of at most n bytes; returns the count, 0 at the end of the stream, -1 on failure.
int recv_bytes(socket_t s, void* out, int n);
// One datagram of at most n bytes; *from (when not null) gets the sender's IPv4 address, network
// order as laid out in memory, or 0. Returns its length or -1.
int recv_datagram(socket_t s, void* out, int n, uint32_t* from);
// One datagram to the IPv4 address to; returns the bytes sent or -1.
int send_datagram(socket_t s, const void* bytes, int n, const sockaddr_in& to);
// Binds s to address; returns 0 or -1.
int bind_to(socket_t s, const sockaddr_in& address);

// Parses a dotted IPv4 text (as inet_addr reads it); false for a text that is no address.
bool parse_ipv4(const char* text, uint32_t* address);

// Finds the IPv4 address of host (a dotted address or a name the system resolves); false when it
// has none.
bool resolve_ipv4(const char* host, uint32_t* address);

// The host's first non-loopback IPv4 address on an interface that is up and whose mask is
// 255.255.255.0, first number in the lowest byte; 0 when there is none.
uint32_t local_slash24_address();

// Microseconds of a clock that never steps (a change of the wall clock leaves it alone); only
// differences between its readings mean anything.
int64_t monotonic_us();

// Pauses the calling thread for ms milliseconds, or for us microseconds (0 or less: not at all).
void sleep_ms(int ms);
void sleep_us(int64_t us);

// ---- Built on the above, the same on every platform (platform.cpp) ----

// Sends n raw bytes (no framing) on link's TCP socket; returns the bytes sent or -1.
int send_raw(w_link& link, const unsigned char* bytes, int n);

// Replaces link's meter socket with a new one bound to 0.0.0.0:port (link's mip holds the
// address); returns 0 when bound, -1 when creating or binding failed (the socket stays in the slot).
int bind_meter_socket(w_link& link, int port);

}  // namespace mixlink::detail
