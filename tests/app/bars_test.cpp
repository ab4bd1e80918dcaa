// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "bars.h"

namespace {

using bandscope::BarFill;
using bandscope::barFills;
using bandscope::barHeight;
using bandscope::Zone;

TEST(BarHeight, FollowsTheScaleAtItsThresholds) {
  struct Case {
    int v;
    int h;
  };
  const Case cases[] = {
      {-32768, 0}, {-12597, 0}, {-12596, 1},   // first visible pixel
      {-3062, 47}, {-3061, 48},                // yellow zone begins
      {-930, 95},  {-929, 96},                 // red zone begins
      {-1, 127},   {0, 128},    {25, 128},     // full scale
      {26, 129},   {32767, 131052},            // beyond the area, not limited
  };
  for (const Case& c : cases) EXPECT_EQ(barHeight(c.v), c.h) << "v = " << c.v;
}

TEST(BarHeight, ReadsBigEndianSignedValuesBehindTheHeader) {
  EXPECT_EQ(barHeight(0x80, 0x00), 0);
  EXPECT_EQ(barHeight(0xFF, 0xFF), 127);
  EXPECT_EQ(barHeight(0x00, 0x00), 128);
  EXPECT_EQ(barHeight(0x7F, 0xFF), 131052);

  unsigned char buf[256] = {};
  // A header of full-scale bytes must not leak into bar 0.
  buf[0] = buf[1] = buf[2] = buf[3] = 0x7F;
  for (int i = 0; i < bandscope::kBarCount; ++i) {
    buf[4 + 2 * i] = 0x80;  // -32768
    buf[5 + 2 * i] = 0x00;
  }
  buf[4] = 0x00;  // bar 0: 0
  buf[242] = 0xFF;  // bar 119: -1
  buf[243] = 0xFF;
  buf[244] = 0x7F;  // behind the block: ignored
  int heights[bandscope::kBarCount];
  bandscope::barHeights(buf, sizeof buf, heights);
  EXPECT_EQ(heights[0], 128);
  EXPECT_EQ(heights[1], 0);
  EXPECT_EQ(heights[118], 0);
  EXPECT_EQ(heights[119], 127);
}

// Every height, including those above the area, fills rows 40 to 167 exactly once, bottom up,
// with the zone a row belongs to below the level and white above it.
TEST(BarFills, TileTheAreaWithTheRightZoneForEveryHeight) {
  const int y = bandscope::kBarAreaTop;
  for (int h = 0; h <= 131052; h += (h < 300 ? 1 : 997)) {
    BarFill fills[4];
    const int n = barFills(y, h, fills);
    ASSERT_GE(n, 2);
    ASSERT_LE(n, 4);
    int row_bottom = y + 128;
    int covered = 0;
    for (int f = 0; f < n; ++f) {
      ASSERT_EQ(fills[f].bottom, row_bottom) << "h = " << h << " fill " << f;
      ASSERT_LE(fills[f].top, fills[f].bottom);
      for (int r = fills[f].top; r < fills[f].bottom; ++r) {
        const int from_base = y + 128 - r;  // 1 for the bottom row
        Zone want = Zone::white;
        if (from_base <= h) want = from_base <= 48 ? Zone::green : from_base <= 96 ? Zone::yellow : Zone::red;
        ASSERT_EQ(fills[f].zone, want) << "h = " << h << " row " << r;
      }
      covered += fills[f].bottom - fills[f].top;
      row_bottom = fills[f].top;
    }
    ASSERT_EQ(row_bottom, y) << "h = " << h;
    ASSERT_EQ(covered, 128) << "h = " << h;
  }
}

}  // namespace
