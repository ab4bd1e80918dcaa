// SPDX-License-Identifier: MIT
#include "layout.h"

#include <algorithm>
#include <cmath>

namespace bandscope {

namespace {

int rounded(double v) { return static_cast<int>(std::lround(v)); }

constexpr int kClassicBarColumns = kBarPitch * kBarCount;  // 600

}  // namespace

Layout::Layout(int w, int h, double ratio, View shown) : width(w), height(h), dpr(ratio), view(shown) {
  // Text and margins follow the smaller stretch, so labels never outgrow their rows or columns.
  scale = std::min(static_cast<double>(w) / kClassicWidth, static_cast<double>(h) / kClassicHeight);
  // The controls keep their logical size: only the device pixel ratio moves the bar area down.
  top = rounded(kControlsHeight * dpr);
  left = unit(kClassicLeftMargin);
  right = w - unit(kClassicRightMargin);
  bottom = h - unit(kClassicBottomMargin);
  bars_shown = view != View::spectrogram;
  spectrogram_top = spectrogram_bottom = top;
  if (view == View::spectrogram) {
    spectrogram_bottom = bottom;
  } else if (view == View::both) {
    spectrogram_bottom = top + rounded((bottom - top) * kSpectrogramShare);
    top = spectrogram_bottom + unit(kViewGap);
  }
  column_scale = static_cast<double>(right - left) / kClassicBarColumns;
  row_scale = static_cast<double>(bottom - top) / kBarAreaHeight;
  line_thickness = unit(1);
  marker_thickness = unit(kPeakMarkerHeight);
  label_pixels = unit(kClassicLabelPixels);
  axis_top = bottom + unit(kAxisBelowBars);
  status_left = rounded(kStatusLeft * dpr);
  status_top = rounded(kStatusTop * dpr);
  status_bottom = rounded((kStatusTop + kStatusHeight) * dpr);
  status_right = w - rounded(kStatusRightMargin * dpr);
  for (int i = 0; i <= kBarCount; ++i) pitch_left_[static_cast<size_t>(i)] = left + rounded(kBarPitch * i * column_scale);
  for (int i = 0; i < kBarCount; ++i)
    bar_left_[static_cast<size_t>(i)] = left + rounded((kBarPitch * i + kBarGap) * column_scale);
}

int Layout::unit(double classic_pixels) const {
  if (classic_pixels == 0) return 0;
  return std::max(1, rounded(classic_pixels * scale));
}

int Layout::rowAt(double h) const { return bottom - rounded(h * row_scale); }

int Layout::gridRow(int k) const { return rowAt(kTopLineHeight - kLineStep * k); }
int Layout::labelTop(int k) const { return gridRow(k) - unit(kLabelAboveLine); }

int Layout::bandAt(int x) const {
  if (x < left || x >= right) return -1;
  const int band = static_cast<int>((x - left) / (kBarPitch * column_scale));
  return std::clamp(band, 0, kBarCount - 1);
}

}  // namespace bandscope
