// SPDX-License-Identifier: MIT
#include "diagnostics.h"

#include <cstdarg>
#include <cstdio>

#include <mixlink/link.h>

namespace {

w_diagnostic_handler g_handler = nullptr;
void* g_context = nullptr;

}  // namespace

int wSetDiagnostics(w_diagnostic_handler handler, void* context) {
  g_handler = handler;
  g_context = handler != nullptr ? context : nullptr;
  return 1;
}

namespace mixlink::detail {

void diagnose(const char* format, ...) {
  // The longest text is a path or an address and a few numbers; anything longer is cut, never
  // written past the buffer.
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (g_handler != nullptr) {
    g_handler(g_context, text);
  } else {
    std::fputs(text, stderr);
  }
}

}  // namespace mixlink::detail
