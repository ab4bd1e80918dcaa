// SPDX-License-Identifier: MIT
// The generated bar-height table against the scale's formula, for every 16-bit meter value and
// through both ways of asking for a height.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "bars.h"

namespace {

int formula_height(int v) {
  const float s = static_cast<float>(v + 32768) * (1.0f / 32768.0f);
  return static_cast<int>(128.0 * std::pow(static_cast<double>(s), 10.0));
}

}  // namespace

TEST(BarTable, EveryMeterValueGivesTheFormulasHeight) {
  int mismatches = 0;
  for (int v = -32768; v <= 32767; ++v) {
    const int want = formula_height(v);
    const auto raw = static_cast<uint16_t>(static_cast<int16_t>(v));
    const int by_value = bandscope::barHeight(v);
    const int by_bytes = bandscope::barHeight(static_cast<unsigned char>(raw >> 8),
                                               static_cast<unsigned char>(raw & 0xFF));
    if (by_value != want || by_bytes != want) {
      if (++mismatches <= 10) ADD_FAILURE() << "v = " << v << ": " << by_value << ", " << by_bytes << " != " << want;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(BarTable, ADatagramsBarsComeFromTheTable) {
  unsigned char buf[256] = {};
  int want[bandscope::kBarCount];
  for (int i = 0; i < bandscope::kBarCount; ++i) {
    const auto raw = static_cast<uint16_t>(static_cast<int16_t>(-32768 + 547 * i));
    buf[bandscope::kRtaHeaderBytes + 2 * i] = static_cast<unsigned char>(raw >> 8);
    buf[bandscope::kRtaHeaderBytes + 2 * i + 1] = static_cast<unsigned char>(raw & 0xFF);
    want[i] = formula_height(-32768 + 547 * i);
  }
  int heights[bandscope::kBarCount];
  bandscope::barHeights(buf, sizeof buf, heights);
  for (int i = 0; i < bandscope::kBarCount; ++i) EXPECT_EQ(heights[i], want[i]) << "bar " << i;
}
