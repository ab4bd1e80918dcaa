// SPDX-License-Identifier: MIT
#include "replies.h"

#include <mixlink/dictionary.h>
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include "link/wire.h"

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace mixbench {

namespace {

void append_entry(std::vector<unsigned char>& out, uint32_t token, uint32_t salt) {
  const uint32_t hash = wGetHash(token);
  unsigned char head[mixlink::wire::kEntryHeader];
  mixlink::wire::put_entry_header(head, hash);
  out.insert(out.end(), head, head + sizeof head);
  unsigned char token_bytes[300];
  int n = 0;
  switch (wGetType(token)) {
    case W_FLOAT: {
      w_value v{};
      v.f = -12.5f + static_cast<float>(salt % 97);
      n = wEncodeToken(mixlink::kTokFloat, v, nullptr, 0, token_bytes, sizeof token_bytes);
      break;
    }
    case W_STRING: {
      const std::string text = "Name " + std::to_string(salt % 1000);
      n = wEncodeString(text.data(), static_cast<int>(text.size()), token_bytes);
      break;
    }
    default:
      n = wEncodeInt(static_cast<int32_t>(salt % 300) - 40, token_bytes);
      break;
  }
  if (n <= 0) std::abort();
  out.insert(out.end(), token_bytes, token_bytes + n);
}

}  // namespace

std::vector<unsigned char> container_reply(uint32_t container) {
  std::vector<unsigned char> out;
  const uint32_t end = wNodeSubtreeEnd(container);
  for (uint32_t t = container + 1; t < end; ++t) {
    if (wGetType(t) >= W_INTEGER) append_entry(out, t, t * 2654435761u);
  }
  return out;
}

std::vector<unsigned char> event_block(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<uint32_t> pick(1, wds_imax - 1);
  std::vector<unsigned char> out;
  for (int i = 0; i < n;) {
    const uint32_t t = pick(rng);
    if (wGetType(t) < W_INTEGER) continue;
    append_entry(out, t, rng());
    ++i;
  }
  return out;
}

uint32_t container_near(int leaves) {
  uint32_t best = 0;
  long best_gap = -1;
  for (uint32_t t = 1; t < static_cast<uint32_t>(wds_imax); ++t) {
    if (wGetType(t) != W_CONTAINER) continue;
    const long gap = std::labs(static_cast<long>(wNodeLeafCount(t)) - leaves);
    if (best_gap < 0 || gap < best_gap) {
      best = t;
      best_gap = gap;
    }
  }
  return best;
}

uint32_t token_of(const char* path) {
  const uint32_t t = wGetTokenFromName(path);
  if (t == 0) {
    std::fprintf(stderr, "bench: %s is not a node\n", path);
    std::abort();
  }
  return t;
}

}  // namespace mixbench
