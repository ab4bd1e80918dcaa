// SPDX-License-Identifier: MIT
// The RTA bar curve: its marks, and every band value through the curve and back.
#include <gtest/gtest.h>

#include <mixlink/meters.h>

#include <cmath>
#include <limits>

namespace {

TEST(RtaScale, MarksOfTheCurve) {
  struct Case {
    int v;
    double level;
    int height;
  };
  const Case cases[] = {
      {-32768, 0.0, 0},      {-12597, 0.0078, 0},  {-12596, 0.0078, 1},  // the first visible pixel
      {-1, 0.9997, 127},     {0, 1.0, 128},        {32767, 1023.9, 131052},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.v);
    EXPECT_NEAR(wRtaLevel(c.v), c.level, 0.0001 + c.level * 0.0001);
    EXPECT_EQ(wRtaBarHeight(c.v), c.height);
  }
  EXPECT_EQ(wRtaValueOfLevel(0.0), -32768);
  EXPECT_EQ(wRtaValueOfLevel(-1.0), -32768);
  EXPECT_EQ(wRtaValueOfLevel(std::numeric_limits<double>::quiet_NaN()), -32768);
  EXPECT_EQ(wRtaValueOfLevel(1.0), 0);
  EXPECT_EQ(wRtaValueOfLevel(1e9), 32767);
}

// Every value a datagram can carry: the pixel height is the level on the 128-pixel scale, and the
// inverse gives the value back.
TEST(RtaScale, EveryBandValueRoundTrips) {
  int mismatches = 0;
  for (int v = -32768; v <= 32767; ++v) {
    const double level = wRtaLevel(v);
    const int height = wRtaBarHeight(v);
    const int back = wRtaValueOfLevel(level);
    if (height != static_cast<int>(128.0 * level) || back != v) {
      if (++mismatches <= 10) ADD_FAILURE() << "v = " << v << ": height " << height << ", back " << back;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
