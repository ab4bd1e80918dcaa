// SPDX-License-Identifier: MIT
// The event walk over blocks on their own (wParseEventBlock): the harness checks each piece of the
// chosen feeding against a plain walk of the documented rules, and checks that cutting a block
// where the walk steps gives the same records as the whole block. (Events joined across blocks
// are the stream harness's.)
#include <mixlink/dictionary.h>
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include <algorithm>
#include <string>

#include "fuzz_support.h"
#include "link/wire.h"

using namespace mixlink;
using mixfuzz::ExactBuffer;

namespace {

struct Record {
  uint32_t token;
  int type;
  int32_t bits;
  std::string text;
  bool null_text;
  bool operator==(const Record&) const = default;
};

struct Walk {
  int result = 0;               // records, or 0 / -9 for a walk that failed
  std::vector<Record> records;  // filled only for a walk that succeeded
  std::vector<size_t> steps;    // every position the walk stood on (but within 6 bytes past a
                                // stray 0xD7, where a cut would leave it looking like a cut event)
};

// The documented walk: bytes that start no event passed one at a time, so is an 0xD7 whose code
// is no value token unless its node is known (then the walk ends with 0); a known or unknown
// node's event passed whole; an event cut by the block end ending the walk with 0; at most n
// records.
Walk reference_walk(const unsigned char* b, size_t len, int n) {
  Walk w;
  size_t p = 0;
  int k = 0;
  size_t clear_from = 0;  // where a stray 0xD7 has its 6 bytes behind it
  while (p < len && k < n) {
    if (p >= clear_from) w.steps.push_back(p);
    if (b[p] != kTokNodeHash) {
      ++p;
      continue;
    }
    if (len - p < 6) return Walk{0, {}, w.steps};
    const uint32_t token = wGetTokenFromHash(mixlink::wire::get_be32(b + p + 1));
    const unsigned char* v = b + p + 5;
    if (v[0] >= kTokFirstInvalid) {
      if (token != 0) return Walk{0, {}, w.steps};
      clear_from = p + 6;
      ++p;
      continue;
    }
    const int width = wTokenLength(v, static_cast<int>(len - p - 5));
    if (width == 0) return Walk{0, {}, w.steps};
    if (token == 0) {
      p += 5 + static_cast<size_t>(width);
      continue;
    }
    int type = -1;
    w_value value{};
    FUZZ_CHECK(wParesToValueBounded(v, width, &type, &value) == 1);
    Record r{token, type, value.i, {}, false};
    if (v[0] >= kTokOffsetIntFirst && v[0] <= kTokOffsetIntLast) r.bits = v[0] - 127;
    if (type == W_VALUE_HASH) r.type = W_VALUE_INT;
    if (type == W_VALUE_STRING) {
      r.bits = 0;
      r.null_text = value.s == nullptr;
      if (value.s) r.text = value.s;
      std::free(value.s);
    }
    w.records.push_back(std::move(r));
    ++k;
    p += 5 + static_cast<size_t>(width);
  }
  w.steps.push_back(p);
  w.result = k;
  return w;
}

Walk library_walk(const unsigned char* data, size_t len, int n) {
  ExactBuffer block(data, len);
  std::vector<w_token_value> recs(static_cast<size_t>(n > 0 ? n : 1));
  for (auto& r : recs) r = w_token_value{0xFFFFFFFFu, -1, {}};
  Walk w;
  w.result = wParseEventBlock(block.data(), block.size(), recs.data(), n);
  FUZZ_CHECK(w.result <= n);
  if (w.result <= 0) {
    // A failed walk hands back no texts: those it had filled are freed and nulled.
    for (auto& r : recs) FUZZ_CHECK(r.type != W_VALUE_STRING || r.value.s == nullptr);
    return w;
  }
  for (int i = 0; i < w.result; ++i) {
    w_token_value& r = recs[static_cast<size_t>(i)];
    Record out{r.token, r.type, r.value.i, {}, false};
    if (r.type == W_VALUE_STRING) {
      out.bits = 0;
      out.null_text = r.value.s == nullptr;
      if (r.value.s) out.text = r.value.s;
      std::free(r.value.s);
    }
    w.records.push_back(std::move(out));
  }
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mixfuzz::ModedInput in{};
  if (!mixfuzz::read_moded(data, size, &in)) return 0;
  const uint8_t mode = in.mode;
  const uint8_t* body = in.body;
  const size_t len = in.len;
  // A record budget from the mode's parameter, or room for every event a block can hold.
  const int unlimited = in.most;
  const int n = in.unlimited() ? unlimited : in.param;

  // Each piece as a block of its own, against the documented walk.
  size_t at = 0;
  std::vector<size_t> cuts;
  for (size_t piece : mixfuzz::feeding_plan(mode, len)) {
    const Walk want = reference_walk(body + at, piece, n);
    const Walk got = library_walk(body + at, piece, n);
    FUZZ_CHECK(got.result == want.result);
    FUZZ_CHECK(got.records == want.records);
    at += piece;
    cuts.push_back(at);
  }

  // Cut where the whole block's walk stood: the pieces then hold the same events as the whole.
  const Walk whole = reference_walk(body, len, unlimited);
  if (whole.result <= 0 || whole.steps.empty()) return 0;
  std::vector<size_t> snapped{0};
  for (size_t c : cuts) {
    auto it = std::upper_bound(whole.steps.begin(), whole.steps.end(), c);
    const size_t s = *(it - 1);
    if (s > snapped.back() && s < len) snapped.push_back(s);
  }
  snapped.push_back(len);
  std::vector<Record> joined;
  for (size_t i = 0; i + 1 < snapped.size(); ++i) {
    const Walk part = library_walk(body + snapped[i], snapped[i + 1] - snapped[i], unlimited);
    FUZZ_CHECK(part.result >= 0);
    joined.insert(joined.end(), part.records.begin(), part.records.end());
  }
  FUZZ_CHECK(joined == library_walk(body, len, unlimited).records);
  FUZZ_CHECK(joined == whole.records);
  return 0;
}
