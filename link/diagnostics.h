// SPDX-License-Identifier: MIT
// The one way the library reports a diagnostic: through the handler set with wSetDiagnostics,
// standard error by default.
#pragma once

namespace mixlink::detail {

// Formats one diagnostic text (printf rules; whole lines, ending in a line feed) and hands it on.
void diagnose(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The platform's last socket error code, as the diagnostics print it (errno, or WSAGetLastError()
// on Windows); declared here so that the reads above link/ need no socket header.
int last_socket_error();

}  // namespace mixlink::detail
