// The event stream: one received block walked into token-value records.
#include <mixlink/link.h>
#include <mixlink/values.h>

#include <cstdlib>

namespace {

constexpr int kBytesPerExpectedEvent = 10;
constexpr int kSpareBytes = 256;

}  // namespace

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
