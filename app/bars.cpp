// SPDX-License-Identifier: MIT
#include "bars.h"

#include <mixlink/meters.h>

#include <algorithm>
#include <cstdint>

namespace bandscope {

int barHeight(int v) {
  if (v >= -32768 && v <= 32767) return kBarHeightTable[v + 32768];
  return wRtaBarHeight(v);
}

int barHeight(unsigned char hi, unsigned char lo) {
  // Flipping the sign bit of the raw word gives v + 32768.
  return kBarHeightTable[((hi << 8) | lo) ^ 0x8000];
}

bool barHeights(const unsigned char* datagram, int length, int* heights) {
  int16_t values[kBarCount];
  if (wRtaValues(datagram, length, values) != 1) return false;
  for (int i = 0; i < kBarCount; ++i) heights[i] = kBarHeightTable[values[i] + 32768];
  return true;
}

int barFills(int y, int h, BarFill out[4]) {
  const int base = y + kBarAreaHeight;
  // Heights beyond the area would paint above it; the visible bar stops at the top edge.
  const int level = base - std::clamp(h, 0, kBarAreaHeight);
  const int yellow_top = base - kYellowFrom;
  const int red_top = base - kRedFrom;
  int n = 0;
  if (h < kYellowFrom) {
    out[n++] = {Zone::green, level, base};
  } else if (h < kRedFrom) {
    out[n++] = {Zone::green, yellow_top, base};
    out[n++] = {Zone::yellow, level, yellow_top};
  } else {
    out[n++] = {Zone::green, yellow_top, base};
    out[n++] = {Zone::yellow, red_top, yellow_top};
    out[n++] = {Zone::red, level, red_top};
  }
  // The white column above the level erases what an earlier, higher bar left there.
  out[n++] = {Zone::white, y, level};
  return n;
}

}  // namespace bandscope
