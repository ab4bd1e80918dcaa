// The windowed hash search against std::lower_bound over the same table, for every stored hash
// and for hashes between, below and above them, so that windows cut at either end of the table
// and guesses that miss their window are all crossed.
#include <gtest/gtest.h>

#include <mixlink/dictionary.h>

#include <algorithm>
#include <cstdint>
#include <random>

namespace {

uint32_t reference_token(uint32_t hash) {
  const auto* end = wingordereddataset + wrds_imax;
  const auto* it = std::lower_bound(wingordereddataset, end, hash,
                                    [](const w_hash_token& p, uint32_t h) { return p.hash < h; });
  return it != end && it->hash == hash ? it->token : 0;
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
