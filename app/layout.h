// SPDX-License-Identifier: MIT
// Where the scale, the bars and the frequency axis go in a client area of any size, in device
// pixels. At the classic 614 x 181 and a device pixel ratio of 1 every position is the classic
// window's; a larger area stretches the bar area and scales text, margins and lines with it.
#pragma once

#include <array>
#include <cstddef>

#include "bars.h"

namespace bandscope {

// The classic client area, and the height of the row that holds the controls and the status.
inline constexpr int kClassicWidth = 614;
inline constexpr int kClassicHeight = 181;
inline constexpr int kControlsHeight = kBarAreaTop;

// Classic geometry relative to the bar area (rows 40 to 167, bars from column 10): margins
// around it, and the scale's eight grid lines at heights 113, 97, ... 1 of the 128-pixel scale
// with each label's text cell 5 pixels above its line.
inline constexpr int kClassicLeftMargin = kBarFirstX;                                 // 10
inline constexpr int kClassicRightMargin = kClassicWidth - kBarFirstX - kBarPitch * kBarCount;  // 4
inline constexpr int kClassicBottomMargin = kClassicHeight - kBarAreaTop - kBarAreaHeight;      // 13
inline constexpr int kScaleLines = 8;
inline constexpr int kTopLineHeight = 113;
inline constexpr int kLineStep = 16;
inline constexpr int kLabelAboveLine = 5;
inline constexpr int kClassicLabelPixels = 8;
// Grid lines start one column into the bar area and stop one column before its end.
inline constexpr int kGridInset = 1;
// Within a bar's 5-column pitch the first column is the gap.
inline constexpr int kBarGap = 1;
inline constexpr int kPeakMarkerHeight = 2;
// The frequency labels' text cells start this far below the bar area (in the 13 free rows).
inline constexpr int kAxisBelowBars = 2;
// The status area: right of the address box, level with the controls (logical pixels).
inline constexpr int kStatusLeft = 225;
inline constexpr int kStatusTop = 15;
inline constexpr int kStatusHeight = 20;
inline constexpr int kStatusRightMargin = 5;

// What the area below the controls shows: the bars, the spectrogram, or the spectrogram above
// the bars.
enum class View { bars, spectrogram, both };

// In the view with both, the spectrogram takes this share of the area and a gap of kViewGap
// classic pixels parts it from the bars.
inline constexpr double kSpectrogramShare = 0.45;
inline constexpr int kViewGap = 4;

struct Layout {
  // Lays out a client area of width x height device pixels whose controls row is drawn at
  // device pixel ratio dpr, for view.
  Layout(int width, int height, double dpr, View view = View::bars);

  int width, height;
  double dpr;
  double scale;          // text, margins and lines against the classic window
  int left, right;       // bar area columns [left, right)
  int top, bottom;       // bar area rows [top, bottom)
  int line_thickness;    // grid lines and the max-hold trace
  int marker_thickness;  // peak markers
  int label_pixels;      // label font size
  int axis_top;          // top of the frequency labels' text cells
  int status_left, status_top, status_right, status_bottom;
  View view;
  bool bars_shown;
  int spectrogram_top, spectrogram_bottom;  // rows of the spectrogram; equal when it is not shown

  // Columns [barLeft(i), barRight(i)) of bar i; its pitch starts at pitchLeft(i).
  int barLeft(int i) const { return bar_left_[static_cast<size_t>(i)]; }
  int barRight(int i) const { return pitch_left_[static_cast<size_t>(i) + 1]; }
  int pitchLeft(int i) const { return pitch_left_[static_cast<size_t>(i)]; }
  // Row of the top of a bar of height h (pixels of the 128-pixel scale; not clipped).
  int rowAt(double h) const;
  // Row of grid line k and the top of its label's text cell.
  int gridRow(int k) const;
  int labelTop(int k) const;
  int gridLeft() const { return left + unit(kGridInset); }
  int gridRight() const { return right - unit(kGridInset); }
  // The band under device column x, or -1 outside the bars.
  int bandAt(int x) const;

 private:
  int unit(double classic_pixels) const;  // a classic length scaled, at least 1 when non-zero
  double column_scale;  // bar area width against the classic 600 columns
  double row_scale;     // bar area height against the classic 128 rows
  std::array<int, kBarCount + 1> pitch_left_;  // the last one is the bar area's right edge
  std::array<int, kBarCount> bar_left_;
};

}  // namespace bandscope
