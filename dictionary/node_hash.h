// The node hash, shared by the table generator (which stores it in every row) and the
// run-time lookups (which compute it from a caller's path), so the two cannot drift apart.
#pragma once

#include <cstdint>

namespace mixlink::dict {

// Returns the node hash of the n bytes at s: MurmurHash3-style mixing of big-endian 4-byte
// blocks with letters folded to upper case, a full round on the short tail block and no
// finalisation, so that the console and the library agree on every path in any letter case.
constexpr uint32_t node_hash(const char* s, int n) {
  uint32_t h = 0xCB21C6BEu;
  if (n <= 0) return h;
  auto rotl = [](uint32_t x, int r) { return (x << r) | (x >> (32 - r)); };
  auto fold = [](unsigned char b) -> uint32_t {
    return (b >= 0x61 && b <= 0x7F) ? static_cast<uint32_t>(b - 0x20) : b;
  };
  for (int i = 0; i < n; i += 4) {
    uint32_t k = 0;
    int end = (n - i < 4) ? n - i : 4;
    for (int j = 0; j < end; ++j) k = (k << 8) | fold(static_cast<unsigned char>(s[i + j]));
    k *= 0xCC9E2D51u;
    k = rotl(k, 15);
    k *= 0x1B873593u;
    h ^= k;
    h = rotl(h, 13);
    h = h * 5u + 0xE6546B64u;
  }
  return h ^ static_cast<uint32_t>(n);
}

}  // namespace mixlink::dict
