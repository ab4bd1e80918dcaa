// The event stream: one received block walked into token-value records.
#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include <cstdlib>

using namespace mixlink;

namespace {

uint32_t be32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

constexpr int kBytesPerExpectedEvent = 10;
constexpr int kSpareBytes = 256;

// The caller hears only the failure of a walk, so the texts it already handed out must not
// outlive it.
void release_texts(w_token_value* records, int count) {
  for (int i = 0; i < count; ++i) {
    if (records[i].type == W_VALUE_STRING && records[i].value.s != nullptr) {
      std::free(records[i].value.s);
      records[i].value.s = nullptr;
    }
  }
}

}  // namespace

int wParseEventBlock(const unsigned char* block, int length, w_token_value* records, int n) {
  if (block == nullptr || records == nullptr) return 0;
  int p = 0;
  int k = 0;
  while (p < length && k < n) {
    if (block[p] != kTokNodeHash) {
      p += 2;
      continue;
    }
    if (length - p < 5) {
      // The block ends inside an event's hash: like a cut-off value token, it ends the walk.
      release_texts(records, k);
      return 0;
    }
    records[k].token = wGetTokenFromHash(be32(block + p + 1));
    if (records[k].token == 0) {
      p += 6;
      continue;
    }
    const int next = wParseToTV(block, p + 5, &records[k], length);
    if (next <= 0) {
      release_texts(records, k);
      return next;
    }
    ++k;
    p = next;
  }
  return k;
}

int wGetParsedEventsTimed(w_token_value* records, int n, int timeout) {
  const int expected = n > 0 ? n : 0;
  // Computed wide: a huge count must give an allocation failure, not an overflowed capacity.
  const long long wanted = static_cast<long long>(expected) * kBytesPerExpectedEvent + kSpareBytes;
  if (wanted > 0x7FFFFFFF) return -9;
  const int capacity = static_cast<int>(wanted);
  auto* buf = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(capacity)));
  if (buf == nullptr) return -9;
  const int got = wRecv(buf, capacity, timeout);
  int result = 0;
  if (got < 0) {
    result = -3;
  } else if (got > 0) {
    // Bounded by what arrived and by the caller's n, whatever the block holds.
    result = wParseEventBlock(buf, got, records, expected);
  }
  std::free(buf);
  return result;
}

int wGetParsedEvents(w_token_value* records, int n) { return wGetParsedEventsTimed(records, n, 0); }
