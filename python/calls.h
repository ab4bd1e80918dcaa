// SPDX-License-Identifier: MIT
// Every library call of the Python module that touches a connection: one function per operation.
// Each Console has a link of its own with its own lock, so calls on different Consoles run at
// once and calls on one Console from several threads take turns. The callers release the GIL
// around these functions, which never touch Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <mixlink/values.h>

namespace mixpy {

// Results of the module's own, apart from the library's (mixlink/result.h).
inline constexpr int kNotOpen = -101;  // the connection is closed
inline constexpr int kEnded = -102;    // the console had ended the connection before the call

// One connection: a link, the lock its calls take turns on, and whether it is still open.
struct Link;
using Connection = std::shared_ptr<Link>;

// Connects a new link (discovers first when address is empty; A.B.C.D, A.B.C.D:PORT or a host
// name otherwise) and stores it in *connection and the address reached in *connected_to;
// returns 1 or wLinkOpen's failure. Connecting and the first keep-alive's answer take at most
// timeout_us (at least 1; discovery takes its own time before that).
int open(const std::string& address, int timeout_us, Connection* connection, std::string* connected_to);

// Closes connection; returns 1, or kNotOpen when it was closed already.
int close(const Connection& connection);

// One round of discovery (five probes, half a second apart) on a socket of its own, so it runs
// while connections are open; returns 1 with the address, 0 when no console answered, or -6 / -7
// as wSearchWING.
int discover(std::string* address);

// The library calls on connection; each returns kNotOpen when it is closed, else the library's
// result. errno is kept as the library left it. Timeouts in microseconds, at least 1 (the library
// reads 0 as no limit); every read returns by its time-out.

// First drops the events that have come (the read would pass them over, or end on them), then
// reads the value: kEnded, without asking, when that showed the console had ended the connection.
int read_value(const Connection& connection, uint32_t token, int* type, w_value* value, int timeout_us);
// The values of tokens in one pipelined read (wLinkGetTokensTimed) into records, one per token,
// after dropping the events that have come as read_value does.
int read_values(const Connection& connection, const std::vector<uint32_t>& tokens, std::vector<w_token_value>* records,
                int timeout_us);
int read_text(const Connection& connection, uint32_t token, char* text, size_t capacity, int timeout_us);
int read_raw(const Connection& connection, uint32_t token, unsigned char* buf, int size, int timeout_us);
int read_definition(const Connection& connection, uint32_t token, std::vector<unsigned char>* definition,
                    int timeout_us);
// Whole events, as their entry bytes back to back (wLinkGetEventEntriesTimed).
int take_events(const Connection& connection, unsigned char* buf, int capacity, int timeout_us);
// Sends the keep-alive when it is due (wLinkKeepAlive), then tells whether the console still
// answers (wLinkAlive): 1, W_ERR_LOST, or a failure.
int keep_alive(const Connection& connection);
// Names the meter port and subscribes collection id to the first 29 bytes of bitmap.
int subscribe_meters(const Connection& connection, int port, int id, const unsigned char* bitmap);
int renew_meters(const Connection& connection, int id);
int read_meters(const Connection& connection, unsigned char* buf, int size, int timeout_us);

// wLinkStatus of connection: 1 open, 0 the console has ended it, -3 a receive failed. With drain,
// the events that have come are first taken and dropped, which also tells whether the console has
// ended the stream since the last receive.
int link_state(const Connection& connection, bool drain);

// ---- The library's diagnostics ----

// Keeps the library's diagnostics (those of every link the module opens) for take_diagnostics
// instead of letting them reach standard error. Safe to call from any thread, with or without the
// GIL.
void collect_diagnostics();
// The texts kept since the last call, oldest first, each without its final line feed.
std::vector<std::string> take_diagnostics();

}  // namespace mixpy
