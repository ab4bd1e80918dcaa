// SPDX-License-Identifier: MIT
// The generated indexes against the plain ways of finding the same things: the hash index
// against a binary search of the hash-ordered table (every stored hash, its neighbours, the
// ends of the range, random hashes), the word-at-a-time hash against folding byte by byte, and
// the stored subtree shape against walking the paths.
#include <gtest/gtest.h>

#include <mixlink/dictionary.h>
#include <mixlink/nodes.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

namespace {

uint32_t reference_token(uint32_t hash) {
  const auto* end = wingordereddataset + wrds_imax;
  const auto* it = std::lower_bound(wingordereddataset, end, hash,
                                    [](const w_hash_token& p, uint32_t h) { return p.hash < h; });
  return it != end && it->hash == hash ? it->token : 0;
}

uint32_t reference_hash(const std::string& s) {
  uint32_t h = 0xCB21C6BEu;
  const int n = static_cast<int>(s.size());
  if (n == 0) return h;
  for (int i = 0; i < n; i += 4) {
    uint32_t k = 0;
    for (int j = i; j < n && j < i + 4; ++j) {
      const auto b = static_cast<unsigned char>(s[static_cast<size_t>(j)]);
      k = (k << 8) | ((b >= 0x61 && b <= 0x7F) ? b - 0x20u : b);
    }
    k *= 0xCC9E2D51u;
    k = (k << 15) | (k >> 17);
    k *= 0x1B873593u;
    h ^= k;
    h = (h << 13) | (h >> 19);
    h = h * 5u + 0xE6546B64u;
  }
  return h ^ static_cast<uint32_t>(n);
}

}  // namespace

TEST(HashSearch, FindsEveryStoredHashAndNothingElse) {
  int wrong = 0;
  auto check = [&](uint32_t h) {
    if (wGetTokenFromHash(h) != reference_token(h) && ++wrong <= 10) ADD_FAILURE() << std::hex << "hash " << h;
  };
  for (int i = 0; i < wrds_imax; ++i) {
    const uint32_t h = wingordereddataset[i].hash;
    check(h);
    check(h - 1);
    check(h + 1);
  }
  for (uint32_t h : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu}) check(h);
  std::mt19937 rng(9);
  for (int i = 0; i < 200000; ++i) check(static_cast<uint32_t>(rng()));
  EXPECT_EQ(wrong, 0);
}

TEST(NodeHashFolding, EveryByteAtEveryPositionOfEveryLengthHashesAsByteWiseFolding) {
  // Lengths 1 to 12 cover every tail length after zero, one and two whole blocks.
  std::mt19937 rng(4);
  int wrong = 0;
  for (int n = 1; n <= 12; ++n)
    for (int at = 0; at < n; ++at)
      for (int b = 1; b < 256; ++b) {
        std::string s(static_cast<size_t>(n), 'a');
        for (char& c : s) c = static_cast<char>(1 + rng() % 255);
        s[static_cast<size_t>(at)] = static_cast<char>(b);
        if (wGetHashFromName(s.c_str()) != reference_hash(s) && ++wrong <= 5) ADD_FAILURE() << "length " << n << " byte " << b;
      }
  for (int t = 0; t < wds_imax; ++t) {
    std::string upper = wingdataset[t].path;
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (wGetHashFromName(upper.c_str()) != reference_hash(wingdataset[t].path) && ++wrong <= 5) ADD_FAILURE() << upper;
  }
  EXPECT_EQ(wrong, 0);
}

TEST(SubtreeShape, EveryRowsStoredShapeMatchesItsPaths) {
  int wrong = 0;
  for (uint32_t t = 0; t < static_cast<uint32_t>(wds_imax); ++t) {
    uint32_t end = t + 1;
    if (wingdataset[t].type == W_CONTAINER) {
      const std::string prefix = std::string(wingdataset[t].path) + ".";
      while (end < static_cast<uint32_t>(wds_imax) && std::strncmp(wingdataset[end].path, prefix.c_str(), prefix.size()) == 0) ++end;
    }
    int leaves = 0;
    for (uint32_t r = t; r < end; ++r) leaves += wingdataset[r].type >= W_INTEGER;
    if ((wNodeSubtreeEnd(t) != end || wNodeLeafCount(t) != leaves) && ++wrong <= 5) ADD_FAILURE() << wingdataset[t].path;
  }
  EXPECT_EQ(wrong, 0);
}
