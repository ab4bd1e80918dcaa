// SPDX-License-Identifier: MIT
// The container reply walk and the subtree shape: pure functions over received bytes and the
// dictionary, shared by the socket reads and fed directly by the tests.
#include <mixlink/dictionary.h>
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>

#include <cstdlib>
#include <cstring>

#include "dictionary/indexes.h"
#include "link/wire.h"
#include "values/token_length.h"
#include "dump_name.h"

using namespace mixlink;

namespace {

using mixlink::wire::kEntryHeader;
using mixlink::wire::entry_hash;

// Size of the whole entry at buf[pos]: 0 when it has not fully arrived, -2 when no entry starts
// there.
int entry_size(const unsigned char* buf, int length, int pos) {
  if (length - pos <= kEntryHeader) return 0;
  if (buf[pos] != kTokNodeHash) return -2;
  const int n = mixlink::values::token_length(buf + pos + kEntryHeader, length - pos - kEntryHeader);
  if (n > 0) return kEntryHeader + n;
  // A code that is no value token takes one byte, as the dump shows it; otherwise the token
  // has only partly arrived.
  return buf[pos + kEntryHeader] >= kTokFirstInvalid ? kEntryHeader + 1 : 0;
}

// The token of an entry's hash. A reply lists its leaves in table order, so the first leaf at or
// after `expected` (a few container rows skipped) is tried before the hash index; a hash that is
// not that row's goes to the index as any other.
uint32_t entry_token(uint32_t hash, uint32_t expected) {
  constexpr uint32_t kLookAhead = 8;
  for (uint32_t t = expected; t < static_cast<uint32_t>(wds_imax) && t < expected + kLookAhead; ++t) {
    if (wingdataset[t].type >= W_INTEGER) {
      if (wingdataset[t].hash == hash) return t;
      break;
    }
  }
  return wGetTokenFromHash(hash);
}

mixlink::dict::NamePlan planned(uint32_t token) {
  const mixlink::dict::name_step& step = mixlink::dict::leaf_name_step[token];
  return {step.dots, step.rest, step.length, step.depth};
}

}  // namespace

uint32_t wNodeSubtreeEnd(uint32_t token) {
  if (token >= static_cast<uint32_t>(wds_imax)) return static_cast<uint32_t>(wds_imax);
  return mixlink::dict::subtree_end[token];
}

int wNodeLeafCount(uint32_t token) {
  if (token >= static_cast<uint32_t>(wds_imax)) return 0;
  return mixlink::dict::leaves_before[wNodeSubtreeEnd(token)] - mixlink::dict::leaves_before[token];
}

int wCountReplyEntries(const unsigned char* buf, int length, int limit, int* end) {
  int pos = 0;
  int count = 0;
  while (pos < length && count < limit) {
    const int n = entry_size(buf, length, pos);
    if (n < 0) {
      *end = pos;
      return -2;
    }
    if (n == 0) break;
    pos += n;
    ++count;
  }
  *end = pos;
  return count;
}

int wReplyToDump(const unsigned char* buf, int length, w_dump* dump) {
  // Room for the longest entry (a name, "=", the longest value text) and the NUL: with this much
  // left, an entry is written straight into the text.
  constexpr size_t kEntryRoom = sizeof dump->previous + 8 + 1 + W_VALUE_TEXT_SIZE;
  char value[W_VALUE_TEXT_SIZE];
  int pos = 0;
  int count = 0;
  uint32_t expected = 1;
  uint32_t previous = 0;  // the leaf of the last entry appended
  // Entries written straight into the text do not copy their path into the state: settle() does
  // that for the last of them before anything else reads the state, and before returning.
  bool stale = false;
  auto settle = [&] {
    if (!stale) return;
    std::memcpy(dump->previous, wingdataset[previous].path, mixlink::dict::leaf_name_step[previous].length + 1u);
    dump->depth = mixlink::dict::leaf_name_step[previous].depth;
    stale = false;
  };
  while (pos < length) {
    if (length - pos == 1) break;  // the byte that ends a reply never starts an entry
    if (buf[pos] != kTokNodeHash || length - pos <= kEntryHeader) break;
    const uint32_t token = entry_token(entry_hash(buf + pos), expected);
    expected = token + 1;
    const w_node& row = wingdataset[token];  // entry_token gives a row of the table
    if (row.type < W_INTEGER) break;
    const char* path = row.path;
    // The leaf right after the one appended before: its name is in the table already.
    const bool follows = previous != 0 && mixlink::dict::leaves_before[token] == mixlink::dict::leaves_before[previous] + 1;
    if (follows && dump->capacity - dump->length >= kEntryRoom) {
      const mixlink::dict::NamePlan plan = planned(token);
      char* at = dump->text + dump->length;
      const size_t n = mixlink::dict::name_length(plan);
      mixlink::dict::put_name(at, plan, path);
      at[n] = '=';
      int text_length = 0;
      const int next = mixlink::nodes::value_text(buf, pos + kEntryHeader, at + n + 1, length, &text_length);
      if (next <= 0) {
        at[0] = '\0';
        break;
      }
      dump->length += n + 1 + static_cast<size_t>(text_length);
      stale = true;
      previous = token;
      ++count;
      pos = next;
      continue;
    }
    settle();
    const int next = wParseToNode(nullptr, buf, pos + kEntryHeader, value, length);
    if (next <= 0) break;
    const int r = follows ? mixlink::nodes::dump_append(dump, planned(token), path, value) : wDumpAppend(dump, path, value);
    if (r < 0) return r;
    previous = token;
    ++count;
    pos = next;
  }
  settle();
  // Stopped before the end: an entry that is no leaf's or a value cut off.
  return pos < length && length - pos != 1 ? -2 : count;
}

namespace {

// Frees the texts of the first count records, so a failed walk leaves the caller nothing to free.
int drop_texts(w_token_value* records, int count, int result) {
  for (int i = 0; i < count; ++i) {
    if (records[i].type == W_VALUE_STRING) {
      std::free(records[i].value.s);
      records[i].value.s = nullptr;
    }
  }
  return result;
}

int walk_records(const unsigned char* buf, int length, w_token_value* records, int capacity,
                 int* filled) {
  int pos = 0;
  int& count = *filled;
  uint32_t expected = 1;
  while (pos < length) {
    if (length - pos == 1) break;
    if (buf[pos] != kTokNodeHash || length - pos <= kEntryHeader) return -2;
    const uint32_t token = entry_token(entry_hash(buf + pos), expected);
    expected = token + 1;
    const int type = wingdataset[token].type;  // entry_token gives a row of the table
    if (type < W_INTEGER) return -2;
    if (count >= capacity) return -10;
    w_token_value* rec = &records[count];
    rec->token = token;
    rec->type = type;
    const int next = wParseToTV(buf, pos + kEntryHeader, rec, length);
    if (next <= 0) {
      // A code that is not a value token and a token cut off by the end look alike to the parser.
      if (next == 0 && buf[pos + kEntryHeader] < kTokFirstInvalid) return -2;
      return next;
    }
    ++count;
    pos = next;
  }
  return count;
}

}  // namespace

int wReplyToTVArray(const unsigned char* buf, int length, w_token_value* records, int capacity) {
  int filled = 0;
  const int r = walk_records(buf, length, records, capacity, &filled);
  return r > 0 ? r : drop_texts(records, filled, r);
}
