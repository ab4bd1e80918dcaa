// SPDX-License-Identifier: MIT
// The RTA bar curve: its marks, and every band value through the curve and back.
#include <gtest/gtest.h>

#include <mixlink/meters.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <vector>
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

// The RTA block is read only when the datagram holds all of it: cut anywhere before its end the
// values stay as they were; whole, every value comes out signed and big-endian.
TEST(RtaScale, ValuesComeOnlyFromAWholeBlock) {
  std::vector<unsigned char> datagram(254, 0xEE);
  for (int i = 0; i < 120; ++i) {
    const auto v = static_cast<uint16_t>(static_cast<int16_t>(-32768 + 547 * i));
    datagram[static_cast<size_t>(4 + 2 * i)] = static_cast<unsigned char>(v >> 8);
    datagram[static_cast<size_t>(5 + 2 * i)] = static_cast<unsigned char>(v & 0xFF);
  }
  int16_t values[120];
  for (int length = 0; length < 244; ++length) {
    // An exact copy on the heap, so that a read past its end is caught by the sanitizers.
    const std::vector<unsigned char> cut(datagram.begin(), datagram.begin() + length);
    std::fill(std::begin(values), std::end(values), int16_t{7});
    ASSERT_EQ(wRtaValues(cut.data(), length, values), 0) << length;
    ASSERT_TRUE(std::all_of(std::begin(values), std::end(values), [](int16_t v) { return v == 7; })) << length;
  }
  for (const int length : {244, 254}) {
    ASSERT_EQ(wRtaValues(datagram.data(), length, values), 1);
    for (int i = 0; i < 120; ++i) EXPECT_EQ(values[i], -32768 + 547 * i) << i;
  }
  EXPECT_EQ(wRtaValues(nullptr, 244, values), 0);
  EXPECT_EQ(wRtaValues(datagram.data(), 244, nullptr), 0);
}

}  // namespace
