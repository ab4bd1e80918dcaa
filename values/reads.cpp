// Value and definition reads by token: one request on channel 1, then received blocks are examined
// until this node's reply arrives. The decoding itself is the pure code of decode.cpp.
#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

using namespace mixlink;

namespace {

constexpr int kReplyCapacity = 2048;
constexpr int kRequestLength = 6;
constexpr int kFewestSent = 4;
constexpr int kShortestBlock = 5;   // a blocking read takes a block this short as a failure
constexpr int kSmallestWait = 100;  // below this each receive of a timed read waits 1 us
constexpr int kValueAt = 5;         // the value token follows 0xD7 and the hash

// How a read waits for its reply.
struct WaitRule {
  bool timed = false;
  int timeout = 0;
  bool stop_on_other_node = false;  // the raw reads end with 0 on another node's reply
  bool string_timed = false;        // wGetTokenStringTimed's own receive-failure result and trace
};

uint32_t be32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// Sends 0xD7, the hash and code on channel 1; returns what wSend reported.
int send_request(uint32_t hash, unsigned char code) {
  // Room for the escapes: each hash byte may be an 0xDF that grows by one on the wire.
  unsigned char request[kRequestLength * 2] = {kTokNodeHash,
                                               static_cast<unsigned char>(hash >> 24),
                                               static_cast<unsigned char>(hash >> 16),
                                               static_cast<unsigned char>(hash >> 8),
                                               static_cast<unsigned char>(hash),
                                               code};
  return wSend(kValueChannel, request, kRequestLength);
}

// A monotonic clock, so that setting the wall clock neither ends a read early nor stretches it.
struct timespec monotonic_now() {
  struct timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

struct timespec deadline_after(int timeout_us) {
  struct timespec t = monotonic_now();
  long long ns = t.tv_nsec + static_cast<long long>(timeout_us) * 1000;
  long long carry = ns / 1000000000;
  ns %= 1000000000;
  if (ns < 0) {
    ns += 1000000000;
    --carry;
  }
  t.tv_sec += static_cast<time_t>(carry);
  t.tv_nsec = static_cast<long>(ns);
  return t;
}

bool passed(const struct timespec& deadline) {
  const struct timespec now = monotonic_now();
  return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec > deadline.tv_nsec);
}

bool is_reply_for(const unsigned char* block, int length, uint32_t hash) {
  return length >= kValueAt && block[0] == kTokNodeHash && be32(block + 1) == hash;
}

// Receives into buf until the reply for hash arrives; returns its length (above 0), or the read's
// result when it ends without one (0, -3).
int await_reply(unsigned char* buf, uint32_t hash, const WaitRule& rule) {
  if (!rule.timed) {
    for (;;) {
      const int got = wRecv(buf, kReplyCapacity, 0);
      if (got <= kShortestBlock) return -3;
      if (buf[0] != kTokNodeHash) continue;
      if (be32(buf + 1) == hash) return got;
      if (rule.stop_on_other_node) return 0;
    }
  }
  const struct timespec deadline = deadline_after(rule.timeout);
  const int wait = rule.timeout >= kSmallestWait ? rule.timeout : 1;
  for (;;) {
    const int got = wRecv(buf, kReplyCapacity, wait);
    if (got < 0) return rule.string_timed ? 0 : -3;
    if (rule.string_timed && got == 1400) {
      std::fputs("rlen@1400\n", stderr);
      std::fflush(stdout);
    }
    if (got > 0 && buf[0] == kTokNodeHash) {
      if (is_reply_for(buf, got, hash)) return got;
      if (rule.stop_on_other_node && got >= kValueAt) return 0;
    }
    if (passed(deadline)) return 0;
  }
}

// Steps 1 to 7 of every value read: checks the token, asks, waits and decodes the reply's token.
// On result 1 type and value hold the decoded value (a text then belongs to the caller).
int read_value(uint32_t token, const WaitRule& rule, const char* send_error, int* type, w_value* value) {
  if (token >= static_cast<uint32_t>(wds_imax)) return -2;
  if (wingdataset[token].type == W_CONTAINER) return -1;
  const uint32_t hash = wingdataset[token].hash;
  if (send_request(hash, kReqValue) < kFewestSent) {
    if (send_error != nullptr) std::fprintf(stderr, send_error, errno);
    return -4;
  }
  auto* buf = static_cast<unsigned char*>(std::malloc(kReplyCapacity));
  if (buf == nullptr) return -9;
  const int got = await_reply(buf, hash, rule);
  int result = got;
  if (got > 0) {
    // Only the bytes received are data: a token cut off by the end of the block is no value.
    result = wParesToValueBounded(buf + kValueAt, got - kValueAt, type, value);
  }
  std::free(buf);
  return result;
}

// Truncation toward zero, kept defined for values no int can hold.
int float_to_int(float f) {
  if (std::isnan(f)) return 0;
  if (f >= 2147483648.0f) return INT_MAX;
  if (f <= -2147483648.0f) return INT_MIN;
  return static_cast<int>(f);
}

int convert_float(int result, int type, w_value v, float* out) {
  if (result != 1) return result;
  switch (type) {
    case W_VALUE_HASH:
      *out = 0.0f;
      return -1;
    case W_VALUE_INT:
      *out = static_cast<float>(v.i);
      return 1;
    case W_VALUE_FLOAT:
      *out = v.f;
      return 1;
    default:
      if (v.s == nullptr) {
        *out = 0.0f;
        return 0;
      }
      std::sscanf(v.s, "%f", out);
      std::free(v.s);
      return 1;
  }
}

int convert_int(int result, int type, w_value v, int* out) {
  if (result != 1) return result;
  switch (type) {
    case W_VALUE_HASH:
      *out = 0;
      return -1;
    case W_VALUE_INT:
      *out = v.i;
      return 1;
    case W_VALUE_FLOAT:
      *out = float_to_int(v.f);
      return 1;
    default:
      if (v.s == nullptr) {
        *out = 0;
        return 0;
      }
      std::sscanf(v.s, "%i", out);
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

int wGetToken(uint32_t token, int* type, w_value* value) {
  return read_value(token, blocking(true), nullptr, type, value);
}

int wGetTokenTimed(uint32_t token, int* type, w_value* value, int timeout) {
  return read_value(token, timed(timeout, true), nullptr, type, value);
}

int wGetTokenFloat(uint32_t token, float* value) {
  int type = 0;
  w_value v{};
  const int r = read_value(token, blocking(false), nullptr, &type, &v);
  return convert_float(r, type, v, value);
}

int wGetTokenInt(uint32_t token, int* value) {
  int type = 0;
  w_value v{};
  const int r = read_value(token, blocking(false), nullptr, &type, &v);
  return convert_int(r, type, v, value);
}

int wGetTokenString(uint32_t token, char* text) {
  int type = 0;
  w_value v{};
  const int r = read_value(token, blocking(false), "wGetStringToken wSend error: %d\n", &type, &v);
  return convert_string(r, type, v, text);
}

int wGetTokenFloatTimed(uint32_t token, float* value, int timeout) {
  int type = 0;
  w_value v{};
  const int r = read_value(token, timed(timeout, false), nullptr, &type, &v);
  return convert_float(r, type, v, value);
}

int wGetTokenIntTimed(uint32_t token, int* value, int timeout) {
  int type = 0;
  w_value v{};
  const int r = read_value(token, timed(timeout, false), nullptr, &type, &v);
  return convert_int(r, type, v, value);
}

int wGetTokenStringTimed(uint32_t token, char* text, int timeout) {
  int type = 0;
  w_value v{};
  const int r = read_value(token, timed(timeout, false, true), "wGetTokenStringTimed wSend error: %d\n",
                           &type, &v);
  return convert_string(r, type, v, text);
}

int wGetTokenDef(uint32_t token, int* length, unsigned char** data) {
  if (token >= static_cast<uint32_t>(wds_imax)) return -2;
  // Containers have definitions too, so the type is not checked.
  const uint32_t hash = wingdataset[token].hash;
  if (send_request(hash, kReqDefinition) < kFewestSent) {
    std::fprintf(stderr, "wGetTokenDef wSend error: %d\n", errno);
    return -4;
  }
  auto* buf = static_cast<unsigned char*>(std::malloc(kReplyCapacity));
  if (buf == nullptr) return -9;
  int result = 0;
  for (;;) {
    const int got = wRecv(buf, kReplyCapacity, 0);
    if (got <= kShortestBlock) {
      result = -3;
      break;
    }
    const unsigned char* bytes = nullptr;
    int n = 0;
    // Other traffic, another node's definition and a block too short for its header are dropped.
    if (wParseDefinitionReply(buf, got, hash, &bytes, &n) == 0) continue;
    // An empty definition still gets a buffer of its own, so that success always hands one over.
    auto* copy = static_cast<unsigned char*>(std::malloc(n > 0 ? static_cast<size_t>(n) : 1));
    if (copy == nullptr) {
      result = -9;
      break;
    }
    std::memcpy(copy, bytes, static_cast<size_t>(n));
    *length = n;
    *data = copy;
    result = 1;
    break;
  }
  std::free(buf);
  return result;
}
