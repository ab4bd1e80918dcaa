// SPDX-License-Identifier: MIT
// mixlink get: single values, each read with the read of its leaf's kind.
#include <mixlink/dictionary.h>
#include <mixlink/values.h>

#include <cstdio>
#include <string>

#include "command.h"
#include "console.h"
#include "output.h"
#include "records.h"

namespace mixtool {

namespace {

// What `mixlink get --help` prints.
constexpr char kHelp[] = R"(usage: mixlink [-a ADDRESS] [--timeout MS] get PATH...
Reads each leaf and prints PATH=VALUE<TAB>TYPE (int, float, string, hash).
--timeout MS  wait at most MS milliseconds in all, connecting included (default 5000)
)";

// Reads one leaf with the converting read of its kind, so that events and other replies in front
// of its reply are passed over; returns the read's result with the value text and its type.
int read_leaf(uint32_t token, int timeout_us, std::string* value, const char** type) {
  int r = 0;
  switch (wGetType(token)) {
    case W_FLOAT: {
      float f = 0;
      r = wGetTokenFloatTimed(token, &f, timeout_us);
      *value = float_text(f);
      *type = "float";
      break;
    }
    case W_STRING: {
      // The empty string is the one no-value result that writes the text.
      char text[257] = "?";
      r = wGetTokenStringTimed(token, text, timeout_us);
      if (r == 0 && text[0] == '\0') r = 1;
      *value = text_escaped(text);
      *type = "string";
      break;
    }
    default: {
      int i = 0;
      r = wGetTokenIntTimed(token, &i, timeout_us);
      *value = std::to_string(i);
      *type = "int";
      break;
    }
  }
  if (r != -1) return r;
  // The value is a node hash (a control assigned to a node), which only the raw read hands over.
  Value v;
  r = v.read([&](int* t, w_value* decoded) { return wGetTokenTimed(token, t, decoded, timeout_us); });
  if (r == 1 && v.type() == W_VALUE_HASH) {
    *value = value_text(v.type(), v.value());
    *type = "hash";
    return 1;
  }
  return r == 1 ? -1 : r;
}

int run(const Invocation& call) {
  Session session;
  if (!session.open(call.address, call.timeout_us())) return kExitFail;
  int status = kExitOk;
  for (const std::string& path : call.operands) {
    const uint32_t token = token_of(path);
    if (token == 0) {
      status = kExitFail;
      continue;
    }
    if (wGetType(token) == W_CONTAINER) {
      std::fprintf(stderr, "mixlink: %s is a container (use dump)\n", path.c_str());
      status = kExitFail;
      continue;
    }
    std::string value;
    const char* type = "";
    const int r = read_leaf(token, call.timeout_us(), &value, &type);
    if (r == 0) {
      std::fprintf(stderr, "mixlink: %s: no value within %ld ms\n", path.c_str(), call.timeout_ms);
      status = kExitFail;
    } else if (r != 1) {
      std::fprintf(stderr, "mixlink: %s: read failed (%d)\n", path.c_str(), r);
      status = kExitFail;
    } else {
      std::printf("%s=%s\t%s\n", wGetName(token), value.c_str(), type);
    }
  }
  return status;
}

}  // namespace

extern const Command kGet{.name = "get", .summary = "print PATH=VALUE<TAB>TYPE for each leaf",
                          .help = kHelp, .operands = {"PATH", 1, -1}, .run = run};

}  // namespace mixtool
