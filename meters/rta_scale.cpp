// SPDX-License-Identifier: MIT
// The RTA bar curve: where a band value stands on the analyser's scale, and back.
#include <mixlink/meters.h>

#include <algorithm>
#include <cmath>

double wRtaLevel(int v) { return std::pow((v + 32768.0) / 32768.0, 10.0); }

int wRtaBarHeight(int v) {
  // Single-precision s, double-precision pow: the height table the console's scale was made for.
  const float s = static_cast<float>(v + 32768) * (1.0f / 32768.0f);
  return static_cast<int>(128.0 * std::pow(static_cast<double>(s), 10.0));
}

int wRtaValueOfLevel(double level) {
  if (!(level > 0.0)) return -32768;  // also NaN
  const double v = std::round(std::pow(level, 0.1) * 32768.0 - 32768.0);
  return static_cast<int>(std::clamp(v, -32768.0, 32767.0));
}
