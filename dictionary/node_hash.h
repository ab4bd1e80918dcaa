// SPDX-License-Identifier: MIT
// The node hash, shared by the table generator (which stores it in every row) and the
// run-time lookups (which compute it from a caller's path), so the two cannot drift apart.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace mixlink::dict {

// Folds the four bytes of a word to upper case at once: every byte in 0x61..0x7F loses 0x20,
// every other byte stays. Adding 0x1F to a byte below 0x80 sets its top bit exactly when it is
// 0x61 or above, and cannot carry into the next byte; bytes of 0x80 and above are masked out.
constexpr uint32_t fold_word(uint32_t w) {
  const uint32_t lower = ((w & 0x7F7F7F7Fu) + 0x1F1F1F1Fu) & ~w & 0x80808080u;
  return w - (lower >> 2);
}

// Returns the node hash of the n bytes at s: MurmurHash3-style mixing of big-endian 4-byte
// blocks with letters folded to upper case, a full round on the short tail block and no
// finalisation, so that the console and the library agree on every path in any letter case.
constexpr uint32_t node_hash(const char* s, int n) {
  uint32_t h = 0xCB21C6BEu;
  if (n <= 0) return h;
  auto rotl = [](uint32_t x, int r) { return (x << r) | (x >> (32 - r)); };
  auto byte = [s](int i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[i])); };
  auto round = [&h, rotl](uint32_t k) {
    k *= 0xCC9E2D51u;
    k = rotl(k, 15);
    k *= 0x1B873593u;
    h ^= k;
    h = rotl(h, 13);
    h = h * 5u + 0xE6546B64u;
  };
  auto block = [s, byte](int i) -> uint32_t {
    if (std::is_constant_evaluated()) return (byte(i) << 24) | (byte(i + 1) << 16) | (byte(i + 2) << 8) | byte(i + 3);
    uint32_t w;  // one load and a byte swap at run time
    std::memcpy(&w, s + i, sizeof w);
    return __builtin_bswap32(w);
  };
  int i = 0;
  for (; n - i >= 4; i += 4) round(fold_word(block(i)));
  if (i < n) {
    uint32_t k = 0;
    if (n >= 4 && !std::is_constant_evaluated()) {
      k = block(n - 4) & (0xFFFFFFFFu >> (8 * (4 - (n - i))));  // the tail is the low bytes of the last block
    } else {
      for (; i < n; ++i) k = (k << 8) | byte(i);
    }
    round(fold_word(k));
  }
  return h ^ static_cast<uint32_t>(n);
}

}  // namespace mixlink::dict
