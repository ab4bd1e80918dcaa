// SPDX-License-Identifier: MIT
// mixsim's side of the platform seam: the server calls the library's seam (link/platform.h) does
// not need, over POSIX (net_posix.cpp) or Windows Sockets (net_win32.cpp), and those that read
// the same over both (net.cpp). server.cpp names no socket call of one platform only.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "link/platform.h"

namespace mixsim::net {

using mixlink::detail::kNoSocket;
using mixlink::detail::socket_t;

// A TCP socket listening on address with backlog, not blocking, the address reusable at once;
// kNoSocket on failure (last_socket_error tells why).
socket_t listen_on(const sockaddr_in& address, int backlog);
// A UDP socket bound to address, not blocking; kNoSocket on failure.
socket_t udp_on(const sockaddr_in& address);
// Accepts one connection, not blocking and with no-delay set; kNoSocket when none or on failure.
socket_t accept_client(socket_t listener, sockaddr_in* peer);
// Whether an accept failed for want of descriptors or memory, or for a connection that went away
// before it was taken (worth trying the next one).
bool out_of_descriptors(int code);
bool accept_again(int code);

// One socket of a wait: what to wait for, and what was found.
struct watch {
  socket_t s = kNoSocket;
  bool read = false, write = false;
  bool readable = false, writable = false, broken = false;
};
// Waits until one of the sockets is ready or timeout passes; returns how many are, 0, or -1
// (interrupted waits return 0).
int wait(std::vector<watch>& sockets, std::chrono::nanoseconds timeout);

// Sends the pieces in one call, not blocking; returns the bytes sent or -1.
struct piece {
  const char* data;
  size_t size;
};
long send_pieces(socket_t s, const piece* pieces, int n);
// Receives one datagram of at most n bytes and where it came from; returns its length or -1.
int receive_from(socket_t s, void* buf, int n, sockaddr_in* from);
// Sends one datagram without blocking (a full socket drops it).
void send_datagram_now(socket_t s, const std::string& bytes, const sockaddr_in& to);

// The local address this host sends from toward peer (what a requester reached); false when
// there is no route.
bool local_address_toward(const sockaddr_in& peer, in_addr* local);

// Dotted text of an IPv4 address.
std::string address_text(const in_addr& a);
// Parses dotted text into a; false when it is not one.
bool parse_address(const std::string& text, in_addr* a);

// Text of a socket error code, for the log.
std::string error_text(int code);

// From now on SIGINT and SIGTERM ask the loop to stop, and a vanished client never raises
// SIGPIPE. On Windows: Ctrl+C, Ctrl+Break, closing the console, or the event "mixsim-stop-PID".
void catch_stop_requests();
bool stop_requested();

// How many clients the descriptor limit leaves room for, keeping spare descriptors free.
size_t client_limit(size_t spare);

}  // namespace mixsim::net
