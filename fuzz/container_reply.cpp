// SPDX-License-Identifier: MIT
// The container-reply walk: the entry count that decides when a reply is complete gives the same
// answer however the reply arrives, and the record and dump walks stay inside the data, inside
// their capacities and agree with each other.
#include <mixlink/dictionary.h>
#include <mixlink/nodes.h>
#include <mixlink/values.h>

#include <climits>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "link/wire.h"

using mixfuzz::ExactBuffer;

namespace {

// A real container to start dumps at, so leaf paths relate to it as they do in a read.
const char* some_container() {
  static const char* path = [] {
    for (uint32_t t = 1; t < static_cast<uint32_t>(wds_imax); ++t) {
      if (wGetType(t) == 0) return wGetNameFromToken(t);
    }
    return "";
  }();
  return path;
}

// The reads count entries again after every block, from where the last count stopped.
void check_incremental_count(uint8_t mode, const uint8_t* body, size_t len, int limit) {
  ExactBuffer whole(body, len);
  int whole_end = -1;
  const int whole_count = wCountReplyEntries(whole.data(), whole.size(), limit, &whole_end);
  FUZZ_CHECK(whole_count <= limit && whole_end >= 0 && whole_end <= whole.size());

  std::vector<unsigned char> arrived;
  int count = 0;
  int end = 0;
  int result = 0;
  for (size_t piece : mixfuzz::feeding_plan(mode, len)) {
    arrived.insert(arrived.end(), body + arrived.size(), body + arrived.size() + piece);
    ExactBuffer rest(arrived.data() + end, arrived.size() - static_cast<size_t>(end));
    int step_end = -1;
    const int c = wCountReplyEntries(rest.data(), rest.size(), limit - count, &step_end);
    FUZZ_CHECK(step_end >= 0 && step_end <= rest.size());
    if (c < 0) {
      end += step_end;
      result = c;
      break;
    }
    count += c;
    end += step_end;
    if (count == limit) break;
  }
  if (whole_count < 0) {
    FUZZ_CHECK(result == whole_count && end == whole_end);
  } else {
    FUZZ_CHECK(result == 0 && count == whole_count && end == whole_end);
  }
}

int check_records(const uint8_t* body, size_t len, int capacity) {
  ExactBuffer reply(body, len);
  std::vector<w_token_value> recs(static_cast<size_t>(capacity > 0 ? capacity : 1));
  for (auto& r : recs) r = w_token_value{0, -1, {}};
  const int got = wReplyToTVArray(reply.data(), reply.size(), recs.data(), capacity);
  FUZZ_CHECK(got == -10 || got == -9 || got == -2 || (got >= 0 && got <= capacity));
  if (got <= 0) {
    for (auto& r : recs) FUZZ_CHECK(r.type != W_VALUE_STRING || r.value.s == nullptr);
    return got;
  }
  for (int i = 0; i < got; ++i) {
    w_token_value& r = recs[static_cast<size_t>(i)];
    FUZZ_CHECK(r.token > 0 && r.token < static_cast<uint32_t>(wds_imax));
    FUZZ_CHECK(wGetType(r.token) >= 1);
    FUZZ_CHECK(r.type >= W_VALUE_INT && r.type <= W_VALUE_STRING);
    if (r.type == W_VALUE_STRING) {
      FUZZ_CHECK(r.value.s == nullptr || std::strlen(r.value.s) <= 256);
      std::free(r.value.s);
    }
  }
  return got;
}

int check_dump(const uint8_t* body, size_t len, size_t capacity) {
  ExactBuffer reply(body, len);
  std::vector<char> text(capacity + 1, 'X');
  w_dump dump{};
  FUZZ_CHECK(wDumpStart(&dump, some_container(), text.data(), capacity) == 1);
  const int got = wReplyToDump(reply.data(), reply.size(), &dump);
  FUZZ_CHECK(got == -2 || got == -10 || got >= 0);
  FUZZ_CHECK(dump.length < capacity && std::strlen(text.data()) == dump.length);
  FUZZ_CHECK(text[capacity] == 'X');
  if (got >= 0) {
    const int fin = wDumpFinish(&dump);
    FUZZ_CHECK(fin == 1 || fin == -10);
    FUZZ_CHECK(dump.length < capacity && std::strlen(text.data()) == dump.length);
  }
  return got;
}

// The walk as plainly as it can be written: each entry looked up by its hash and appended by
// wDumpAppend. The walk's shortcuts (the next leaf tried first, names from the table, entries
// written straight into the text) must leave exactly what this leaves.
int reference_dump(const unsigned char* buf, int length, w_dump* dump) {
  char value[W_VALUE_TEXT_SIZE];
  int pos = 0, count = 0;
  while (pos < length && length - pos != 1) {
    if (buf[pos] != 0xD7 || length - pos <= 5) return -2;
    const uint32_t hash = mixlink::wire::entry_hash(buf + pos);
    const uint32_t token = wGetTokenFromHash(hash);
    if (wGetType(token) < 1) return -2;
    const int next = wParseToNode(nullptr, buf, pos + 5, value, length);
    if (next <= 0) return -2;
    const int r = wDumpAppend(dump, wGetNameFromToken(token), value);
    if (r < 0) return r;
    ++count;
    pos = next;
  }
  return count;
}

void check_dump_against_reference(const uint8_t* body, size_t len, size_t capacity) {
  ExactBuffer reply(body, len);
  std::vector<char> fast(capacity), plain(capacity);
  w_dump a{}, b{};
  FUZZ_CHECK(wDumpStart(&a, some_container(), fast.data(), capacity) == 1);
  FUZZ_CHECK(wDumpStart(&b, some_container(), plain.data(), capacity) == 1);
  FUZZ_CHECK(wReplyToDump(reply.data(), reply.size(), &a) == reference_dump(reply.data(), reply.size(), &b));
  FUZZ_CHECK(a.length == b.length && std::strcmp(fast.data(), plain.data()) == 0);
  FUZZ_CHECK(std::strcmp(a.previous, b.previous) == 0 && a.depth == b.depth);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mixfuzz::ModedInput in{};
  if (!mixfuzz::read_moded(data, size, &in)) return 0;
  const uint8_t* body = in.body;
  const size_t len = in.len;
  const int param = in.param;

  check_incremental_count(in.mode, body, len, in.unlimited() ? INT_MAX : param * 4);

  const int records = check_records(body, len, in.unlimited() ? in.most : param);
  check_dump(body, len, static_cast<size_t>(1 + param * 16));
  const int dumped = check_dump(body, len, len * 80 + 300);
  check_dump_against_reference(body, len, len * 80 + 400);
  // With room for all of them, both walks read the same entries of a reply the records accept.
  if (records > 0 && in.unlimited()) FUZZ_CHECK(dumped == records);
  return 0;
}
