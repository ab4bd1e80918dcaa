// SPDX-License-Identifier: MIT
#include "diagnostics.h"

#include <cstdarg>
#include <cstdio>

#include <mixlink/link.h>

#include "link_state.h"

int wLinkSetDiagnostics(w_link* link, w_diagnostic_handler handler, void* context) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  link->handler = handler;
  link->context = handler != nullptr ? context : nullptr;
  return W_SUCCESS;
}

int wSetDiagnostics(w_diagnostic_handler handler, void* context) {
  return wLinkSetDiagnostics(wLinkDefault(), handler, context);
}

namespace mixlink::detail {

void diagnose(w_link& link, const char* format, ...) {
  // The longest text is a path or an address and a few numbers; anything longer is cut, never
  // written past the buffer.
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (link.handler != nullptr) {
    link.handler(link.context, text);
  } else {
    std::fputs(text, stderr);
  }
}

}  // namespace mixlink::detail
