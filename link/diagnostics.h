// SPDX-License-Identifier: MIT
// The one way the library reports a diagnostic: through the link's handler (wLinkSetDiagnostics),
// standard error by default.
#pragma once

struct w_link;

namespace mixlink::detail {

// Formats one diagnostic text (printf rules; whole lines, ending in a line feed) and hands it to
// link's handler.
void diagnose(w_link& link, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The platform's last socket error code, as the diagnostics print it (errno, or WSAGetLastError()
// on Windows); declared here so that the reads above link/ need no socket header.
int last_socket_error();

}  // namespace mixlink::detail
