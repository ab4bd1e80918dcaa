// SPDX-License-Identifier: MIT
// The window's views, each a painter of its own: the scale, the bars with their peak markers and
// max-hold trace, the frequency axis, the status and the hover readout. Each draws from the
// display model and the layout alone, in device pixels (the painter's transform is the identity
// on the device), so what appears is a function of the model and the window's size.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPoint>
#include <QStringList>

#include "layout.h"
#include "model.h"
#include "show.h"

class QPainter;

namespace bandscope {

// The colours of everything that is not a bar zone; the zone colours never change with it.
struct Theme {
  bool dark = false;
  QColor background;   // the window
  QColor scale;        // labels, grid lines and frequency labels
  QColor empty;        // the bar column above the level
  QColor marker;       // peak markers
  QColor max_hold;     // the max-hold trace
  QColor live, stale, lost;  // status texts
  QColor readout_back, readout_text;
  QColor ringing;      // the mark over a ringing band
  QColor spectrogram_floor;  // spectrogram cells at or below the floor
};

// The classic light look on the given window background, and the dark one.
Theme lightTheme(const QColor& background);
Theme darkTheme();

// The bar zone colours: green, yellow, red.
inline const QColor kGreen{0, 200, 20};
inline const QColor kYellow{255, 200, 20};
inline const QColor kRed{255, 30, 0};

// Returns the grey of colour's luminance, for bars that are not live.
QColor greyOf(const QColor& colour);

// The label font at pixel size pixels: Arial or a metric-compatible sans, weight 500.
QFont labelFont(int pixels);
// The font base at pixel size pixels, for the status and the readout.
QFont textFont(const QFont& base, int pixels, bool bold);

// Labels and grid lines of the level scale.
void paintScale(QPainter& p, const Layout& l, const Theme& t, const QFont& label_font);

// The bars from the model's heights, then the max-hold trace (when on) and the peak markers,
// all inside the bar columns; everything in greys unless live.
void paintBars(QPainter& p, const Layout& l, const Theme& t, const DisplayModel& m, bool live);

// The shown reference traces: each an outline in its colour along the levels of its values, level
// across each bar's columns and upright in the gaps.
void paintReferences(QPainter& p, const Layout& l, const std::vector<Reference>& references);
QColor referenceColour(int index);

// A mark at the top of each ringing band's column.
void paintRinging(QPainter& p, const Layout& l, const Theme& t, const FeedbackSentinel& s, bool live);

// The spectrogram, newest tenth of a second at the top, across the bar columns: heights at or
// below floor in the floor colour, the rest on a colour map from dark blue to white; everything
// in greys unless live. image is reused from frame to frame.
void paintSpectrogram(QPainter& p, const Layout& l, const Theme& t, const Spectrogram& s, int floor, bool live,
                      QImage* image);

// The nominal frequencies under their bands, from the lowest, each only where it clears the one
// before it.
void paintAxis(QPainter& p, const Layout& l, const Theme& t, const QFont& label_font);

// The status text in the status area, or text in its place.
void paintStatus(QPainter& p, const Layout& l, const Theme& t, const Status& s, const QFont& font,
                 const QString& text = QString());

// The readout box: lines on the readout background, framed, in font at device pixel ratio dpr.
QImage readoutBox(const QStringList& lines, const Theme& t, const QFont& font, double dpr);

// Where a readout box of size box goes for the pointer at device point (x, y): beside it and
// inside the bar pane.
QPoint readoutPlace(const Layout& l, QSize box, int x, int y);

// The readout's lines for band.
QStringList readoutLines(const DisplayModel& m, int band, Micros now);

}  // namespace bandscope
