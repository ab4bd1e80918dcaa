// SPDX-License-Identifier: MIT
// Value and definition reads by token: one request on channel 1, then the reply is taken out of
// the connection's receive stream however the network cut it. The decoding itself is the pure code
// of decode.cpp and reassembly.cpp.
#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "link/diagnostics.h"
#include "link/link_state.h"
#include "link/platform.h"
#include "link/stream.h"
#include "link/wire.h"
#include "reassembly.h"

using namespace mixlink;
namespace detail = mixlink::detail;

namespace {

constexpr int kFewestSent = 4;
constexpr int kTracedBlock = 1400;  // wGetTokenStringTimed reports receives of exactly this size

// How a read waits for its reply.
struct WaitRule {
  bool timed = false;
  int timeout = 0;
  bool stop_on_other_node = false;  // the raw reads end with 0 on another node's reply
  bool string_timed = false;        // wGetTokenStringTimed's own receive-failure result and trace
};

// Sends 0xD7, the hash and code on channel 1; returns what wSend reported.
int send_request(w_link& link, uint32_t hash, unsigned char code) {
  unsigned char request[wire::kRequestRoom];
  return wLinkSend(&link, kValueChannel, request, wire::put_request(request, hash, code));
}

// How long the reply of a read without a time-out stays owed once the read has ended without it.
constexpr int kOwedWithoutTimeoutUs = 2000000;

// Marks the reply of a read that ended without it as owed for as long as the read itself was
// willing to wait, so that a later raw read knows it for a late answer.
void leave_owed(w_link& link, uint32_t hash, const WaitRule& rule) {
  const int keep = rule.timed && rule.timeout > 0 ? rule.timeout : kOwedWithoutTimeoutUs;
  link.stream.owed().add(hash, detail::monotonic_us() + keep);
}

// What a read does when the stream gives it nothing more: the receive's result made the read's.
// A read that gives up leaves its reply owed, so whoever meets it later knows it for a late one.
int give_up(w_link& link, int got, uint32_t hash, const WaitRule& rule, const detail::deadline& d) {
  leave_owed(link, hash, rule);
  if (got == detail::kReceiveTimedOut) return 0;
  if (got == detail::kReceiveNoMemory) return -9;
  if (got == detail::kReceiveEnded && rule.timed) {
    // Nothing more will come, but a timed read's result is its deadline's: wait without spinning.
    detail::sleep_until(d);
    return 0;
  }
  return rule.string_timed ? 0 : -3;
}

// Takes the reply for hash out of the stream, receiving until it is whole; decodes its value
// token into type and value. Returns the decoder's result, or the read's result when no reply came.
int await_value(w_link& link, uint32_t hash, const WaitRule& rule, int* type, w_value* value) {
  detail::rx_stream& s = link.stream;
  const detail::deadline d = rule.timed ? detail::deadline_after(rule.timeout) : detail::deadline{};
  for (;;) {
    s.owed().expire(detail::monotonic_us());
    const values::value_find f =
        values::find_value_reply(s.data(), s.size(), hash, rule.stop_on_other_node, &s.owed());
    int result = 0;
    switch (f.kind) {
      case values::value_find::more:
        break;
      case values::value_find::reply:
        result = wParesToValueBounded(s.data() + f.at + wire::kEntryHeader, f.size - wire::kEntryHeader, type, value);
        [[fallthrough]];
      case values::value_find::no_value:
        s.consume(f.used);
        return result;
      case values::value_find::other:
        s.consume(f.used);
        leave_owed(link, hash, rule);
        return 0;
    }
    s.consume(f.used);
    const int got = detail::stream_receive(link, d, 0);
    if (got <= 0) return give_up(link, got, hash, rule, d);
    if (rule.string_timed && detail::last_block_size(link) == kTracedBlock) {
      detail::diagnose(link, "rlen@1400\n");
      std::fflush(stdout);
    }
  }
}

// Steps 1 to 7 of every value read: checks the token, asks, waits and decodes the reply's token.
// On result 1 type and value hold the decoded value (a text then belongs to the caller).
int read_value(w_link* link, uint32_t token, const WaitRule& rule, const char* send_error, int* type,
               w_value* value) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  if (token >= static_cast<uint32_t>(wds_imax)) return -2;
  if (wingdataset[token].type == W_CONTAINER) return -1;
  const uint32_t hash = wingdataset[token].hash;
  if (send_request(*link, hash, kReqValue) < kFewestSent) {
    if (send_error != nullptr) detail::diagnose(*link, send_error, detail::last_socket_error());
    return -4;
  }
  return await_value(*link, hash, rule, type, value);
}

// Truncation toward zero, kept defined for values no int can hold.
int float_to_int(float f) {
  if (std::isnan(f)) return 0;
  if (f >= 2147483648.0f) return INT_MAX;
  if (f <= -2147483648.0f) return INT_MIN;
  return static_cast<int>(f);
}

// The numeric reads: a node hash is refused (-1) and zeroes the result, an integer or a float is
// converted, and a text is scanned (the result left as it was when the text is no number) and
// freed; no text at all is 0.
template <typename Number>
int convert_number(int result, int type, w_value v, Number* out) {
  static_assert(std::is_same_v<Number, int> || std::is_same_v<Number, float>);
  if (result != 1) return result;
  switch (type) {
    case W_VALUE_HASH:
      *out = 0;
      return -1;
    case W_VALUE_INT:
      *out = static_cast<Number>(v.i);
      return 1;
    case W_VALUE_FLOAT:
      if constexpr (std::is_same_v<Number, int>) {
        *out = float_to_int(v.f);
      } else {
        *out = v.f;
      }
      return 1;
    default:
      if (v.s == nullptr) {
        *out = 0;
        return 0;
      }
      if constexpr (std::is_same_v<Number, int>) {
        std::sscanf(v.s, "%i", out);
      } else {
        std::sscanf(v.s, "%f", out);
      }
      std::free(v.s);
      return 1;
  }
}

// text holds 257 bytes: 256 characters of the longest token text and its terminator.
int convert_string(int result, int type, w_value v, char* text) {
  if (result != 1) return result;
  switch (type) {
    case W_VALUE_HASH:
      text[0] = '\0';
      return -1;
    case W_VALUE_INT:
      std::snprintf(text, 257, "%i", v.i);
      return 1;
    case W_VALUE_FLOAT:
      std::snprintf(text, 257, "%f", static_cast<double>(v.f));
      return 1;
    default:
      if (v.s == nullptr) {
        text[0] = '\0';
        return 0;
      }
      std::snprintf(text, 257, "%s", v.s);
      std::free(v.s);
      return 1;
  }
}

WaitRule blocking(bool raw) { return WaitRule{false, 0, raw, false}; }
WaitRule timed(int timeout, bool raw, bool string_timed = false) {
  return WaitRule{true, timeout, raw, string_timed};
}

}  // namespace

int wLinkGetToken(w_link* link, uint32_t token, int* type, w_value* value) {
  return read_value(link, token, blocking(true), nullptr, type, value);
}

int wLinkGetTokenTimed(w_link* link, uint32_t token, int* type, w_value* value, int timeout) {
  return read_value(link, token, timed(timeout, true), nullptr, type, value);
}

int wLinkGetTokenFloat(w_link* link, uint32_t token, float* value) {
  int type = 0;
  w_value v{};
  const int r = read_value(link, token, blocking(false), nullptr, &type, &v);
  return convert_number(r, type, v, value);
}

int wLinkGetTokenInt(w_link* link, uint32_t token, int* value) {
  int type = 0;
  w_value v{};
  const int r = read_value(link, token, blocking(false), nullptr, &type, &v);
  return convert_number(r, type, v, value);
}

int wLinkGetTokenString(w_link* link, uint32_t token, char* text) {
  int type = 0;
  w_value v{};
  const int r = read_value(link, token, blocking(false), "wGetStringToken wSend error: %d\n", &type, &v);
  return convert_string(r, type, v, text);
}

int wLinkGetTokenFloatTimed(w_link* link, uint32_t token, float* value, int timeout) {
  int type = 0;
  w_value v{};
  const int r = read_value(link, token, timed(timeout, false), nullptr, &type, &v);
  return convert_number(r, type, v, value);
}

int wLinkGetTokenIntTimed(w_link* link, uint32_t token, int* value, int timeout) {
  int type = 0;
  w_value v{};
  const int r = read_value(link, token, timed(timeout, false), nullptr, &type, &v);
  return convert_number(r, type, v, value);
}

int wLinkGetTokenStringTimed(w_link* link, uint32_t token, char* text, int timeout) {
  int type = 0;
  w_value v{};
  const int r = read_value(link, token, timed(timeout, false, true), "wGetTokenStringTimed wSend error: %d\n",
                           &type, &v);
  return convert_string(r, type, v, text);
}

int wGetToken(uint32_t token, int* type, w_value* value) { return wLinkGetToken(wLinkDefault(), token, type, value); }
int wGetTokenTimed(uint32_t token, int* type, w_value* value, int timeout) {
  return wLinkGetTokenTimed(wLinkDefault(), token, type, value, timeout);
}
int wGetTokenFloat(uint32_t token, float* value) { return wLinkGetTokenFloat(wLinkDefault(), token, value); }
int wGetTokenInt(uint32_t token, int* value) { return wLinkGetTokenInt(wLinkDefault(), token, value); }
int wGetTokenString(uint32_t token, char* text) { return wLinkGetTokenString(wLinkDefault(), token, text); }
int wGetTokenFloatTimed(uint32_t token, float* value, int timeout) {
  return wLinkGetTokenFloatTimed(wLinkDefault(), token, value, timeout);
}
int wGetTokenIntTimed(uint32_t token, int* value, int timeout) {
  return wLinkGetTokenIntTimed(wLinkDefault(), token, value, timeout);
}
int wGetTokenStringTimed(uint32_t token, char* text, int timeout) {
  return wLinkGetTokenStringTimed(wLinkDefault(), token, text, timeout);
}

namespace {

// A definition whose header's count announces more than has come waits for the next block only
// this long, and for all further blocks together at most kDefinitionJoinUs: enough for a reply
// the network cut, never a wait for whatever a count announces.
constexpr int kDefinitionGraceUs = 100000;
constexpr int kDefinitionJoinUs = 1000000;

// The definition read: the request, then the reply for this node, however it arrives.
int read_definition(w_link* link, uint32_t token, int* length, unsigned char** data, const detail::deadline& d) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  if (token >= static_cast<uint32_t>(wds_imax)) return -2;
  // Containers have definitions too, so the type is not checked.
  const uint32_t hash = wingdataset[token].hash;
  if (send_request(*link, hash, kReqDefinition) < kFewestSent) {
    detail::diagnose(*link, "wGetTokenDef wSend error: %d\n", detail::last_socket_error());
    return -4;
  }
  detail::rx_stream& s = link->stream;
  bool settled = false;
  detail::deadline joining;  // unlimited until the reply's count first waits for more
  for (;;) {
    int header = 0;
    int n = 0;
    int used = 0;
    const int at = values::find_definition_reply(s.data(), s.size(), s.block_ends(), s.block_end_count(), hash,
                                                 settled, &header, &n, &used);
    s.consume(used);
    if (at >= 0) {
      // An empty definition still gets a buffer of its own, so that success always hands one over.
      auto* copy = static_cast<unsigned char*>(std::malloc(n > 0 ? static_cast<size_t>(n) : 1));
      if (copy == nullptr) return -9;
      std::memcpy(copy, s.data() + header, static_cast<size_t>(n));
      s.consume(header + n);
      *length = n;
      *data = copy;
      return 1;
    }
    detail::deadline wait = d;
    const bool pending = at == values::kDefinitionPending;
    if (pending) {
      if (joining.unlimited) joining = detail::earlier(d, kDefinitionJoinUs);
      wait = detail::earlier(joining, kDefinitionGraceUs);
    }
    const int got = detail::stream_receive(*link, wait, 0);
    if (got > 0) continue;
    if (pending && got != detail::kReceiveNoMemory) {
      // No more came soon enough (or nothing more will): the definition is what its block holds.
      settled = true;
      continue;
    }
    if (got == detail::kReceiveTimedOut) return 0;
    return got == detail::kReceiveNoMemory ? -9 : -3;
  }
}

}  // namespace

int wLinkGetTokenDef(w_link* link, uint32_t token, int* length, unsigned char** data) {
  return read_definition(link, token, length, data, detail::deadline{});
}

int wLinkGetTokenDefTimed(w_link* link, uint32_t token, int* length, unsigned char** data, int timeout) {
  return read_definition(link, token, length, data, detail::deadline_or_unlimited(timeout));
}

int wGetTokenDef(uint32_t token, int* length, unsigned char** data) {
  return wLinkGetTokenDef(wLinkDefault(), token, length, data);
}

int wGetTokenDefTimed(uint32_t token, int* length, unsigned char** data, int timeout) {
  return wLinkGetTokenDefTimed(wLinkDefault(), token, length, data, timeout);
}
