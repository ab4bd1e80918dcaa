// SPDX-License-Identifier: MIT
// mixlink get: single values, each read with the read of its leaf's kind.
#include <mixlink/dictionary.h>
#include <mixlink/values.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include <mixlink/link.h>

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

// The text and type word of leaf token's value as the read of the leaf's kind gives it: a float
// leaf shows a float, a string leaf a text, any other leaf an integer; a node hash (a control
// assigned to a node) shows as a hash whatever the leaf.
void leaf_text(uint32_t token, const w_token_value& rec, std::string* value, const char** type) {
  if (rec.type == W_VALUE_HASH) {
    *value = value_text(rec.type, rec.value);
    *type = "hash";
    return;
  }
  const bool is_text = rec.type == W_VALUE_STRING;
  const char* text = is_text && rec.value.s != nullptr ? rec.value.s : "";
  switch (wGetType(token)) {
    case W_FLOAT: {
      float f = rec.type == W_VALUE_FLOAT ? rec.value.f : static_cast<float>(rec.value.i);
      if (is_text) std::sscanf(text, "%f", &f);
      *value = float_text(f);
      *type = "float";
      return;
    }
    case W_STRING: {
      char number[32] = "";
      if (rec.type == W_VALUE_INT) std::snprintf(number, sizeof number, "%i", rec.value.i);
      if (rec.type == W_VALUE_FLOAT) std::snprintf(number, sizeof number, "%f", static_cast<double>(rec.value.f));
      *value = text_escaped(is_text ? text : number);
      *type = "string";
      return;
    }
    default: {
      int i = rec.type == W_VALUE_INT ? rec.value.i : 0;
      if (rec.type == W_VALUE_FLOAT) i = static_cast<int>(std::trunc(std::clamp(rec.value.f, -2147483648.0f, 2147483520.0f)));
      if (is_text) std::sscanf(text, "%i", &i);
      *value = std::to_string(i);
      *type = "int";
      return;
    }
  }
}

int run(const Invocation& call) {
  Session session;
  if (!session.open(call.address, call.timeout_us())) return kExitFail;
  int status = kExitOk;
  std::vector<uint32_t> tokens;
  for (const std::string& path : call.operands) {
    const uint32_t token = token_of(path);
    if (token != 0 && wGetType(token) == W_CONTAINER) {
      std::fprintf(stderr, "mixlink: %s is a container (use dump)\n", path.c_str());
      tokens.push_back(0);
    } else {
      tokens.push_back(token);
    }
    if (tokens.back() == 0) status = kExitFail;
  }
  // All values in one pipelined read: a round trip for every window of them, not for each.
  std::vector<w_token_value> got(tokens.size());
  const int r = wLinkGetTokensTimed(wLinkDefault(), tokens.data(), static_cast<int>(tokens.size()), got.data(),
                                    call.timeout_us());
  if (r < 0) {
    std::fprintf(stderr, "mixlink: read failed: %s (%d)\n", wResultText(r), r);
    return kExitFail;
  }
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i] == 0) continue;
    if (got[i].token == 0) {
      std::fprintf(stderr, "mixlink: %s: no value within %ld ms\n", call.operands[i].c_str(), call.timeout_ms);
      status = kExitFail;
      continue;
    }
    std::string value;
    const char* type = "";
    leaf_text(tokens[i], got[i], &value, &type);
    std::printf("%s=%s\t%s\n", wGetName(tokens[i]), value.c_str(), type);
  }
  for (w_token_value& rec : got)
    if (rec.type == W_VALUE_STRING) std::free(rec.value.s);
  return status;
}

}  // namespace

extern const Command kGet{.name = "get", .summary = "print PATH=VALUE<TAB>TYPE for each leaf",
                          .help = kHelp, .operands = {"PATH", 1, -1}, .run = run};

}  // namespace mixtool
