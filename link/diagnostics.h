// The one way the library reports a diagnostic: through the handler set with wSetDiagnostics,
// standard error by default.
#pragma once

namespace mixlink::detail {

// Formats one diagnostic text (printf rules; whole lines, ending in a line feed) and hands it on.
void diagnose(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace mixlink::detail
