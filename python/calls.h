// SPDX-License-Identifier: MIT
// Every library call of the Python module that touches the connection: one function per
// operation, each run under the module's one lock. The library keeps one connection in global
// state and must be used by one thread at a time; the callers release the GIL around these
// functions, which never touch Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <mixlink/values.h>

namespace mixpy {

// Results of the module's own, apart from the library's (1, 0 and -1 to -13).
inline constexpr int kAlreadyOpen = -100;  // open while a connection is open
inline constexpr int kNotOpen = -101;      // the connection named is closed, or was replaced
inline constexpr int kEnded = -102;        // the console had ended the connection before the call

// Names one opening of the connection; a closed one never matches again. 0 is none.
using Connection = std::uint64_t;

// Connects (discovers first when address is empty) and stores the new connection in
// *connection and the address reached in *connected_to; returns 1, kAlreadyOpen, or wOpen's
// failure (-5, -6, -7, -3). Connecting and the first keep-alive's answer take at most timeout_us
// (at least 1; discovery takes its own time before that).
int open(const std::string& address, int timeout_us, Connection* connection, std::string* connected_to);

// Closes connection if it is the open one; returns 1, or kNotOpen.
int close(Connection connection);

// One round of discovery (five probes, half a second apart); returns 1 with the address, 0 when
// no console answered, kAlreadyOpen while connected (discovery would take the meter socket),
// or -6 / -7 as wSearchWING.
int discover(std::string* address);

// The library calls on the open connection; each returns kNotOpen when connection is not it,
// else the library's result. errno is kept as the library left it. Timeouts in microseconds,
// at least 1 (the library reads 0 as no limit); every read returns by its time-out.

// First drops the events that have come (the read would pass them over, or end on them), then
// reads the value: kEnded, without asking, when that showed the console had ended the connection.
int read_value(Connection connection, uint32_t token, int* type, w_value* value, int timeout_us);
int read_text(Connection connection, uint32_t token, char* text, size_t capacity, int timeout_us);
int read_raw(Connection connection, uint32_t token, unsigned char* buf, int size, int timeout_us);
int read_definition(Connection connection, uint32_t token, std::vector<unsigned char>* definition,
                    int timeout_us);
// Whole events, as their entry bytes back to back (wGetEventEntriesTimed).
int take_events(Connection connection, unsigned char* buf, int capacity, int timeout_us);
// Sends the keep-alive when it is due (wKeepAlive).
int keep_alive(Connection connection);
// Names the meter port and subscribes collection id to the first 29 bytes of bitmap.
int subscribe_meters(Connection connection, int port, int id, const unsigned char* bitmap);
int renew_meters(Connection connection, int id);
int read_meters(Connection connection, unsigned char* buf, int size, int timeout_us);

// wLinkState() of the open connection: 1 open, 0 the console has ended it, -3 a receive failed.
// With drain, the events that have come are first taken and dropped, which also tells whether
// the console has ended the stream since the last receive.
int link_state(Connection connection, bool drain);

// ---- The library's diagnostics ----

// Keeps the library's diagnostics (wSetDiagnostics) for take_diagnostics instead of letting them
// reach standard error. Safe to call from any thread, with or without the GIL.
void collect_diagnostics();
// The texts kept since the last call, oldest first, each without its final line feed.
std::vector<std::string> take_diagnostics();

}  // namespace mixpy
