// The thin layer over POSIX sockets that the console link and the meters stand on. Internal to the
// library: sockets are plain descriptors, -1 when none, and "the last socket error" is errno.
#pragma once

#include <sys/select.h>

namespace mixlink::detail {

// Closes s when it holds a descriptor and marks it as none, so a dropped socket is never reused.
void drop_socket(int& s);

// Pauses the caller for ms milliseconds (restarting after signals).
void sleep_ms(int ms);

// Waits until fd is readable using set (cleared, then holding just fd); timeout in microseconds,
// split into whole seconds and the rest. Returns select's result (0 time-out, negative failure),
// 0 when fd is not marked, 1 when it is; -1 with errno EBADF for a descriptor select cannot hold.
int wait_readable(int fd, fd_set* set, int timeout_us);

// Sends n raw bytes (no framing) on the TCP socket; returns send's result.
int send_raw(const unsigned char* bytes, int n);

// Replaces the UDP socket in wing_msocket with a new one bound to 0.0.0.0:port (WING_mip holds the
// address); returns 0 when bound, -1 when creating or binding failed (the socket stays in the slot).
int bind_meter_socket(int port);

}  // namespace mixlink::detail
