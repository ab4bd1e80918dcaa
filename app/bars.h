// SPDX-License-Identifier: MIT
// Spectrum bars: meter value to bar height, and the colour zones of one bar.
// Pure arithmetic; no window system, so it is exercised on its own.
#pragma once

#include <cstdint>

#include <mixlink/protocol.h>

namespace bandscope {

// The RTA block: 120 signed 16-bit big-endian values behind a 4-byte datagram header.
inline constexpr int kBarCount = mixlink::kRtaValues;
using mixlink::kRtaHeaderBytes;

// Bar geometry in window coordinates: bar i sits at x = kBarFirstX + kBarPitch * i, its area
// spans kBarAreaHeight pixels down from kBarAreaTop.
inline constexpr int kBarFirstX = 10;
inline constexpr int kBarPitch = 5;
inline constexpr int kBarAreaTop = 40;
inline constexpr int kBarAreaHeight = 128;
// Heights at which the yellow and the red zone begin (the green zone is 48 px, yellow 48, red 32).
inline constexpr int kYellowFrom = 48;
inline constexpr int kRedFrom = 96;

// Bar height of every signed 16-bit meter value v at index v + 32768, generated at build time
// with wRtaBarHeight.
extern const int32_t kBarHeightTable[65536];

// Returns wRtaBarHeight(v), the bar height in pixels of meter value v, from the table for every
// signed 16-bit value (0 to 131052).
int barHeight(int v);

// Returns the bar height for the big-endian value whose high byte is hi and low byte lo.
int barHeight(unsigned char hi, unsigned char lo);

// Converts the 120 values of a meter datagram of length bytes into heights[0..119]; false
// (heights untouched) when it holds no whole RTA block.
bool barHeights(const unsigned char* datagram, int length, int* heights);

enum class Zone { green, yellow, red, white };

// One filled rectangle of a bar, rows top (inclusive) to bottom (exclusive).
struct BarFill {
  Zone zone;
  int top;
  int bottom;
};

// Lays out the fills of a bar of height h in the area whose top edge is y, bottom first, clipped
// to the area (rows y to y + 127): a height above 128 gives a full bar and no white.
// Writes the fills into out and returns their count (2 to 4); a fill may be empty (top == bottom),
// as the green one of a zero height or the white one of a full bar.
int barFills(int y, int h, BarFill out[4]);

}  // namespace bandscope
