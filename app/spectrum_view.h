// SPDX-License-Identifier: MIT
// The area below the controls: the scale, the bars or the spectrogram, reference traces, the
// ringing marks, the frequency axis and the hover readout. What it paints is a function of the
// display state it is given, its size and the window's: it keeps only caches of its own.
#pragma once

#include <QFont>
#include <QImage>
#include <QPoint>
#include <QWidget>

#include <functional>
#include <vector>

#include "layout.h"
#include "show.h"
#include "views.h"

namespace bandscope {

// Everything a spectrum paint shows.
struct SpectrumState {
  const ShowState* show = nullptr;
  const std::vector<Reference>* references = nullptr;
  Theme theme;
  View view = View::bars;
  int floor = 0;        // spectrogram floor, pixels of the 128-pixel scale
  int hover_band = -1;  // the band under the pointer, or -1
  QPoint hover_pos;     // the pointer, in the window's logical pixels
  Micros now = 0;       // the display's time of the picture
};

// Lays out the window's client area of size at device pixel ratio dpr for view.
Layout layoutOf(QSize window, double dpr, View view);
// Turns painter on pane into device pixels of the whole window (so that both panes share one
// layout and edges fall on whole pixels at any ratio); returns the pixel ratio.
double paintInWindowPixels(QPainter& painter, const QWidget* pane);
// The font of base at its size in device pixels for dpr.
QFont fontAt(const QFont& base, double dpr, bool bold);

class SpectrumView : public QWidget {
  Q_OBJECT

 public:
  SpectrumView(QWidget* window, std::function<SpectrumState()> state);

  // Paints the next frame: the bar columns only, unless the whole area was asked for.
  void requestFrame();
  // The next paint covers the whole area (the view, the theme, the readout changed).
  void requestWhole();
  // The hover readout's figures are due for renewal.
  bool readoutDue() const;
  // Whether the last paint showed live colours.
  bool showsLive() const { return shown_live_; }

 signals:
  void painted();

 protected:
  // QWidget
  void paintEvent(QPaintEvent* event) override;

 private:
  // The bar columns' rectangle, in the view's logical pixels.
  QRect barColumnsRect() const;
  void paint(QPainter& painter, const SpectrumState& s, double dpr, bool whole) const;

  std::function<SpectrumState()> state_;
  bool whole_ = true;  // the next paint covers the area, not just the bars
  QRect bars_update_;  // the bar columns' update asked for by the last frame
  bool shown_live_ = false;

  // Caches: the backdrop (background, scale and axis) at the last paint's size, ratio, theme
  // and view; the spectrogram's image; the readout box as last made, and for what.
  mutable QImage backdrop_;
  mutable double backdrop_dpr_ = 0;
  mutable bool backdrop_dark_ = false;
  mutable View backdrop_view_ = View::bars;
  mutable QImage spectrogram_image_;
  mutable QImage readout_;
  mutable int readout_band_ = -1;
  mutable double readout_dpr_ = 0;
  mutable bool readout_dark_ = false;
  mutable Micros readout_made_ = 0;  // steady clock
};

// What the status area shows.
struct StatusState {
  Status status;
  QString notice;  // stands in place of the status text when not empty
  Theme theme;
};

class StatusView : public QWidget {
 public:
  StatusView(QWidget* window, std::function<StatusState()> state);
  // The text of the last paint.
  const QString& shownText() const { return shown_text_; }

 protected:
  // QWidget
  void paintEvent(QPaintEvent* event) override;

 private:
  std::function<StatusState()> state_;
  QString shown_text_;
};

}  // namespace bandscope
