// SPDX-License-Identifier: MIT
// The event stream: events taken out of the receive stream into token-value records, or as bytes.
#include <mixlink/link.h>
#include <mixlink/values.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "link/link_state.h"
#include "link/platform.h"
#include "link/stream.h"
#include "link/wire.h"
#include "reassembly.h"

using mixlink::values::walk_end;

namespace {

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
  if (block == nullptr || records == nullptr || length <= 0) return 0;
  int used = 0;
  walk_end end = walk_end::bytes;
  const int k = mixlink::values::walk_events(block, length, records, n, nullptr, &used, &end);
  // One block on its own: an event it cuts off, or a bad value, fails the walk.
  if (end == walk_end::cut || end == walk_end::bad_value || end == walk_end::no_memory) {
    release_texts(records, k);
    return end == walk_end::no_memory ? -9 : 0;
  }
  return k;
}

int wLinkGetParsedEventsTimed(w_link* link, w_token_value* records, int n, int timeout) {
  namespace detail = mixlink::detail;
  if (link == nullptr) return W_ERR_ARGUMENT;
  detail::rx_stream& s = link->stream;
  const detail::deadline d = detail::deadline_or_unlimited(timeout);
  const int max = n > 0 && records != nullptr ? n : 0;
  for (;;) {
    if (max > 0) {
      int used = 0;
      walk_end end = walk_end::bytes;
      s.owed().expire(detail::monotonic_us());
      const int k = mixlink::values::walk_events(s.data(), s.size(), records, max, &s.owed(), &used, &end);
      s.consume(used);
      // Events after the last record, and one cut by the end of what came, wait for the next call.
      if (k > 0) return k;
      if (end == walk_end::no_memory) return -9;
      if (end == walk_end::bad_value) {
        s.consume(mixlink::wire::kEntryHeader + 1);
        return 0;
      }
    }
    const int got = detail::stream_receive(*link, d, 0);
    if (got == detail::kReceiveNoMemory) return -9;
    if (got < 0 && got != detail::kReceiveEnded) return -3;
    // Nothing to fill, the time-out, or the console's end of the stream: no events.
    if (max == 0 || got <= 0) return 0;
  }
}

int wLinkGetParsedEvents(w_link* link, w_token_value* records, int n) {
  return wLinkGetParsedEventsTimed(link, records, n, 0);
}

int wGetParsedEventsTimed(w_token_value* records, int n, int timeout) {
  return wLinkGetParsedEventsTimed(wLinkDefault(), records, n, timeout);
}

int wGetParsedEvents(w_token_value* records, int n) { return wGetParsedEventsTimed(records, n, 0); }

namespace {

// The caller's buffer, filled with whole events back to back.
struct byte_sink {
  unsigned char* out;
  int capacity;
  int written;
};

int copy_entry(void* context, const unsigned char* entry, int size, uint32_t) {
  auto* b = static_cast<byte_sink*>(context);
  if (size > b->capacity - b->written) return 0;
  std::memcpy(b->out + b->written, entry, static_cast<size_t>(size));
  b->written += size;
  return 1;
}

}  // namespace

int wLinkGetEventEntriesTimed(w_link* link, unsigned char* buf, int capacity, int timeout) {
  namespace detail = mixlink::detail;
  if (link == nullptr) return W_ERR_ARGUMENT;
  if (buf == nullptr || capacity <= 0) return 0;
  detail::rx_stream& s = link->stream;
  const detail::deadline d = detail::deadline_or_unlimited(timeout);
  byte_sink sink{buf, capacity, 0};
  for (;;) {
    walk_end end = walk_end::bytes;
    do {
      int used = 0;
      s.owed().expire(detail::monotonic_us());
      mixlink::values::walk_event_entries(s.data(), s.size(), INT_MAX, &s.owed(), copy_entry, &sink, &used, &end);
      s.consume(used);
      // Dropped as wGetParsedEventsTimed drops it, but the walk goes on: a 0 here would read as a
      // time-out.
      if (end == walk_end::bad_value) s.consume(mixlink::wire::kEntryHeader + 1);
    } while (end == walk_end::bad_value);
    if (sink.written > 0) return sink.written;
    if (end == walk_end::records) return -10;
    const int got = detail::stream_receive(*link, d, 0);
    if (got == detail::kReceiveNoMemory) return -9;
    if (got < 0 && got != detail::kReceiveEnded) return -3;
    if (got <= 0) return 0;
  }
}

int wGetEventEntriesTimed(unsigned char* buf, int capacity, int timeout) {
  return wLinkGetEventEntriesTimed(wLinkDefault(), buf, capacity, timeout);
}
