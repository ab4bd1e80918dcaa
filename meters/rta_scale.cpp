// SPDX-License-Identifier: MIT
// The RTA block: its band values out of a datagram, and where a value stands on the analyser's
// scale, and back.
#include <mixlink/meters.h>
#include <mixlink/protocol.h>

#include "link/wire.h"

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

int wRtaValues(const unsigned char* datagram, int length, int16_t values[120]) {
  if (datagram == nullptr || values == nullptr || length < mixlink::kRtaBytes) return 0;
  for (int i = 0; i < mixlink::kRtaValues; ++i)
    values[i] = static_cast<int16_t>(mixlink::wire::get_be16(datagram + mixlink::kRtaHeaderBytes + 2 * i));
  return 1;
}
