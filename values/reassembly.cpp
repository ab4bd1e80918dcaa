// SPDX-License-Identifier: MIT
#include "reassembly.h"

#include <cstring>

#include <mixlink/dictionary.h>
#include <mixlink/protocol.h>

#include "link/wire.h"
#include "token_length.h"

namespace mixlink::values {

using wire::entry_hash;
using wire::kEntryHeader;

namespace {

// An entry whose code is no value token still has its code byte: 0xD7, the hash and that byte.
constexpr int kEntryWithoutValue = kEntryHeader + 1;

}  // namespace

entry_scan next_entry(const unsigned char* buf, int n, int from) {
  int p = from;
  while (p < n) {
    const void* hit = std::memchr(buf + p, kTokNodeHash, static_cast<size_t>(n - p));
    if (hit == nullptr) return {n, 0};
    p = static_cast<int>(static_cast<const unsigned char*>(hit) - buf);
    // The header and the code byte decide what this is; until they are in, nothing is decided.
    if (n - p < kEntryWithoutValue) return {p, 0};
    const unsigned char* value = buf + p + kEntryHeader;
    if (*value >= kTokFirstInvalid) return {p, -1};
    const int width = token_length(value, n - p - kEntryHeader);
    return {p, width > 0 ? kEntryHeader + width : 0};
  }
  return {n, 0};
}

int definition_header(const unsigned char* p, int n, uint32_t* hash, uint32_t* announced) {
  if (n < 3) return 0;
  const bool long_form = p[1] == 0 && p[2] == 0;
  const int size = long_form ? 15 : 11;
  if (n < size) return 0;
  *announced = long_form ? wire::get_be32(p + 3) : wire::get_be16(p + 1);
  *hash = wire::get_be32(p + size - 4);
  return size;
}

value_find find_value_reply(const unsigned char* buf, int n, uint32_t hash, bool end_on_other,
                            detail::owed_replies* owed) {
  int p = 0;
  for (;;) {
    const entry_scan e = next_entry(buf, n, p);
    if (e.size == 0) return {value_find::more, e.at, 0, 0};
    const uint32_t h = entry_hash(buf + e.at);
    if (e.size < 0) {
      if (h == hash) return {value_find::no_value, e.at + kEntryWithoutValue, e.at, kEntryWithoutValue};
      p = e.at + 1;  // a stray 0xD7
      continue;
    }
    if (h == hash) return {value_find::reply, e.at + e.size, e.at, e.size};
    p = e.at + e.size;
    if (owed != nullptr && owed->take(h)) continue;
    if (end_on_other) return {value_find::other, p, e.at, e.size};
  }
}

namespace {

// Whether buf[from, to) is nothing but whole replies: entries with a value token, ending with at
// most one definition reply (which runs to the end).
bool whole_replies(const unsigned char* buf, int from, int to) {
  int q = from;
  while (q < to) {
    if (buf[q] == kDefinitionReply) {
      uint32_t h = 0;
      uint32_t announced = 0;
      return definition_header(buf + q, to - q, &h, &announced) > 0;
    }
    if (buf[q] != kTokNodeHash || to - q < kEntryWithoutValue) return false;
    const int width = token_length(buf + q + kEntryHeader, to - q - kEntryHeader);
    if (width <= 0) return false;
    q += kEntryHeader + width;
  }
  return q == to;
}

// The first block end at or after at (n when none is recorded there).
int block_end_from(const int* ends, int count, int n, int at) {
  for (int i = 0; i < count; ++i)
    if (ends[i] >= at && ends[i] <= n) return ends[i];
  return n;
}

}  // namespace

int find_definition_reply(const unsigned char* buf, int n, const int* ends, int count, uint32_t hash, bool settled,
                          int* header, int* length, int* used) {
  int p = 0;
  while (p < n) {
    const void* hit = std::memchr(buf + p, kDefinitionReply, static_cast<size_t>(n - p));
    if (hit == nullptr) {
      p = n;
      break;
    }
    p = static_cast<int>(static_cast<const unsigned char*>(hit) - buf);
    uint32_t h = 0;
    uint32_t announced = 0;
    const int size = definition_header(buf + p, n - p, &h, &announced);
    if (size == 0) break;
    // Only the reply that names this node counts. Anything else is passed a byte at a time: a
    // stray 0xDF (inside an entry, or another node's definition) must not carry the read past the
    // reply behind it.
    if (h != hash) {
      ++p;
      continue;
    }
    *used = p;
    const int body = p + size;
    const int block_end = block_end_from(ends, count, n, body);
    int end = block_end;
    if (announced <= static_cast<uint32_t>(n - body)) {
      // The count ends inside what came: it holds where it ends exactly in front of whole replies
      // that fill the rest of their block.
      const int target = body + static_cast<int>(announced);
      const int its_block = block_end_from(ends, count, n, target);
      if (target == its_block || whole_replies(buf, target, its_block)) end = target;
    } else if (!settled) {
      return kDefinitionPending;
    }
    *header = size;
    *length = end - body;
    return p;
  }
  *used = p;
  return -1;
}

int find_reply_start(const unsigned char* buf, int n, uint32_t first_hash, detail::owed_replies* owed, int* used) {
  int p = 0;
  for (;;) {
    const entry_scan e = next_entry(buf, n, p);
    if (e.size == 0) {
      *used = e.at;
      return -1;
    }
    const uint32_t h = entry_hash(buf + e.at);
    // The first leaf's entry opens the reply even with a bad value, as the reply walk reads it.
    if (h == first_hash) {
      *used = e.at;
      return e.at;
    }
    if (e.size < 0) {
      p = e.at + 1;
      continue;
    }
    if (owed != nullptr) owed->take(h);
    p = e.at + e.size;
  }
}

int walk_event_entries(const unsigned char* buf, int n, int max, detail::owed_replies* owed, event_sink sink,
                       void* context, int* used, walk_end* end) {
  int p = 0;
  int k = 0;
  *end = walk_end::records;
  while (k < max) {
    const entry_scan e = next_entry(buf, n, p);
    if (e.size == 0) {
      p = e.at;
      *end = e.at < n ? walk_end::cut : walk_end::bytes;
      break;
    }
    const uint32_t h = entry_hash(buf + e.at);
    const uint32_t token = wGetTokenFromHash(h);
    if (e.size < 0) {
      if (token == 0) {
        p = e.at + 1;  // a stray 0xD7
        continue;
      }
      p = e.at;
      *end = walk_end::bad_value;
      break;
    }
    // A late reply to a read that gave up is delivered: it is the node's value, and the event it
    // may be instead must never be lost. Only the keep-alive's answers are no one's.
    if (token == 0 || (owed != nullptr && owed->take_own(h))) {
      p = e.at + e.size;
      continue;
    }
    const int taken = sink(context, buf + e.at, e.size, token);
    if (taken != 1) {
      p = e.at;
      *end = taken == 0 ? walk_end::records : walk_end::no_memory;
      break;
    }
    ++k;
    p = e.at + e.size;
  }
  *used = p;
  return k;
}

namespace {

struct record_sink {
  w_token_value* next;
};

int decode_into_record(void* context, const unsigned char* entry, int size, uint32_t token) {
  w_token_value& rec = *static_cast<record_sink*>(context)->next;
  if (wParseToTV(entry, kEntryHeader, &rec, size) < 0) return -9;
  rec.token = token;
  ++static_cast<record_sink*>(context)->next;
  return 1;
}

}  // namespace

int walk_events(const unsigned char* buf, int n, w_token_value* records, int max, detail::owed_replies* owed,
                int* used, walk_end* end) {
  record_sink sink{records};
  return walk_event_entries(buf, n, max, owed, decode_into_record, &sink, used, end);
}

}  // namespace mixlink::values
