// SPDX-License-Identifier: MIT
#include "views.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace bandscope {

namespace {

// Luminance weights of the red, green and blue primaries.
constexpr struct {
  double red, green, blue;
} kLuma{0.299, 0.587, 0.114};

// The readout sits this far (logical pixels) right of and below the pointer, with this padding.
constexpr int kReadoutOffset = 14;
constexpr int kReadoutPadding = 4;

// Scale, axis, status and readout texts are plain Latin digits and letters: they need no
// shaping, and skipping it makes text the cheap part of a frame.
constexpr auto kTextStrategy = static_cast<QFont::StyleStrategy>(QFont::PreferAntialias | QFont::PreferNoShaping);

QColor zoneColour(Zone zone, const Theme& t) {
  switch (zone) {
    case Zone::green: return kGreen;
    case Zone::yellow: return kYellow;
    case Zone::red: return kRed;
    case Zone::white: break;
  }
  return t.empty;
}

QColor shown(const QColor& c, bool live) { return live ? c : greyOf(c); }

}  // namespace

// Each colour of the two themes: the light one's (on the window's own background) and the
// dark one's.
struct ThemeColour {
  QColor Theme::*role;
  QColor light, dark;
};
const ThemeColour kThemeColours[] = {
    {&Theme::scale, Qt::black, {190, 190, 190}},          {&Theme::empty, Qt::white, {18, 18, 18}},
    {&Theme::marker, {50, 50, 50}, {235, 235, 235}},      {&Theme::max_hold, {30, 90, 220}, {90, 160, 255}},
    {&Theme::live, {0, 130, 0}, {90, 220, 90}},           {&Theme::stale, {170, 100, 0}, {255, 180, 60}},
    {&Theme::lost, {200, 0, 0}, {255, 90, 90}},           {&Theme::readout_back, {255, 255, 225}, {55, 55, 58}},
    {&Theme::readout_text, Qt::black, {230, 230, 230}},   {&Theme::ringing, {230, 0, 230}, {255, 60, 255}},
    {&Theme::spectrogram_floor, {12, 12, 40}, {8, 8, 24}},
};

Theme themeOf(bool dark, const QColor& background) {
  Theme t;
  t.dark = dark;
  t.background = background;
  for (const ThemeColour& c : kThemeColours) t.*c.role = dark ? c.dark : c.light;
  return t;
}

Theme lightTheme(const QColor& background) { return themeOf(false, background); }

Theme darkTheme() { return themeOf(true, QColor(38, 38, 40)); }

QColor greyOf(const QColor& c) {
  const int y = static_cast<int>(std::lround(kLuma.red * c.red() + kLuma.green * c.green() + kLuma.blue * c.blue()));
  return QColor(y, y, y);
}

QFont textFont(const QFont& base, int pixels, bool bold) {
  QFont f = base;
  f.setPixelSize(pixels);
  f.setBold(bold);
  f.setStyleStrategy(kTextStrategy);
  return f;
}

QFont labelFont(int pixels) {
  // Arial where it exists, else a metric-compatible or common sans face.
  QFont::insertSubstitutions("Arial", {"Liberation Sans", "DejaVu Sans"});
  QFont f("Arial");
  f.setPixelSize(pixels);
  f.setWeight(QFont::Medium);
  f.setStyleStrategy(kTextStrategy);
  return f;
}

void paintScale(QPainter& p, const Layout& l, const Theme& t, const QFont& label_font) {
  if (!l.bars_shown) return;
  static constexpr const char* kLabels[kScaleLines] = {" 18", "  0", " -6", "-12", "-18", "-26", "-40", "-oo"};
  p.setFont(label_font);
  p.setPen(t.scale);
  const int ascent = QFontMetrics(label_font).ascent();
  for (int k = 0; k < kScaleLines; ++k) {
    p.drawText(0, l.labelTop(k) + ascent, QString::fromLatin1(kLabels[k]));
    p.fillRect(l.gridLeft(), l.gridRow(k), l.gridRight() - l.gridLeft(), l.line_thickness, t.scale);
  }
}

void paintBars(QPainter& p, const Layout& l, const Theme& t, const DisplayModel& m, bool live) {
  if (!l.bars_shown) return;
  // The fills come in rows of the 128-pixel area counted from its top; rowAt takes heights.
  BarFill fills[4];
  for (int i = 0; i < kBarCount; ++i) {
    const int left = l.barLeft(i);
    const int width = l.barRight(i) - left;
    const int n = barFills(0, m.band(i).height, fills);
    for (int f = 0; f < n; ++f) {
      const int top = l.rowAt(kBarAreaHeight - fills[f].top);
      const int bottom = l.rowAt(kBarAreaHeight - fills[f].bottom);
      if (bottom > top) p.fillRect(left, top, width, bottom - top, shown(zoneColour(fills[f].zone, t), live));
    }
  }

  // The max-hold trace: a tick on each bar at its highest level. Like everything here it stays
  // inside the bar columns, so a frame never has to restore the gaps between them.
  if (m.maxHold()) {
    const QColor c = shown(t.max_hold, live);
    for (int i = 0; i < kBarCount; ++i) {
      const double max_hold = m.band(i).max_hold;
      if (max_hold < 1) continue;
      const int top = std::max(l.rowAt(max_hold) - l.line_thickness, l.top);
      p.fillRect(l.barLeft(i), top, l.barRight(i) - l.barLeft(i), l.line_thickness, c);
    }
  }

  // Each marker sits on its held level, so a bar at its peak keeps every pixel of its zones;
  // only at the top of the scale does it move down into the bar to stay in sight.
  const QColor marker = shown(t.marker, live);
  for (int i = 0; i < kBarCount; ++i) {
    const double peak = m.peakHeight(i);
    if (peak < 1) continue;  // silent bands carry no marker along the base
    const int top = std::max(l.rowAt(peak) - l.marker_thickness, l.top);
    p.fillRect(l.barLeft(i), top, l.barRight(i) - l.barLeft(i), l.marker_thickness, marker);
  }
}

QColor referenceColour(int index) {
  // Eight colours apart from the bar zones, the markers and each other.
  static const QColor kColours[kMaxReferences] = {{0, 170, 255}, {255, 120, 0}, {170, 80, 255}, {0, 200, 170},
                                                   {255, 60, 140}, {140, 200, 0}, {120, 120, 255}, {200, 150, 90}};
  return kColours[static_cast<size_t>(index) % kMaxReferences];
}

void paintReferences(QPainter& p, const Layout& l, const std::vector<Reference>& references) {
  if (!l.bars_shown) return;
  const int w = l.line_thickness;
  for (size_t r = 0; r < references.size(); ++r) {
    if (!references[r].shown) continue;
    const QColor c = referenceColour(static_cast<int>(r));
    int previous = -1;
    for (int i = 0; i < kBarCount; ++i) {
      const double h = std::min(barHeight(static_cast<int>(std::lround(references[r].values[static_cast<size_t>(i)]))),
                                kBarAreaHeight);
      const int row = std::max(l.rowAt(h) - w, l.top);
      // Across the bar's pitch, gap included, then upright from the previous level.
      p.fillRect(l.pitchLeft(i), row, l.barRight(i) - l.pitchLeft(i), w, c);
      if (previous >= 0 && previous != row)
        p.fillRect(l.pitchLeft(i), std::min(previous, row), w, std::abs(previous - row) + w, c);
      previous = row;
    }
  }
}

void paintRinging(QPainter& p, const Layout& l, const Theme& t, const FeedbackSentinel& s, bool live) {
  const int h = std::max(3, l.marker_thickness * 2);
  const QColor c = shown(t.ringing, live);
  for (int i = 0; i < kBarCount; ++i) {
    if (!s.ringing(i)) continue;
    if (l.bars_shown) p.fillRect(l.barLeft(i), l.top, l.barRight(i) - l.barLeft(i), h, c);
    if (l.spectrogram_bottom > l.spectrogram_top)
      p.fillRect(l.barLeft(i), l.spectrogram_top, l.barRight(i) - l.barLeft(i), h, c);
  }
}

void paintSpectrogram(QPainter& p, const Layout& l, const Theme& t, const Spectrogram& s, int floor, bool live,
                      QImage* image) {
  if (l.spectrogram_bottom <= l.spectrogram_top) return;
  // The colour of each height, from the floor up: dark blue, blue, cyan, green, yellow, red, white.
  static const QColor kStops[] = {{0, 0, 110}, {0, 70, 255}, {0, 220, 255}, {0, 210, 60},
                                  {255, 220, 0}, {255, 40, 0}, {255, 255, 255}};
  constexpr int kStopCount = static_cast<int>(std::size(kStops));
  QRgb map[kBarAreaHeight + 1];
  for (int h = 0; h <= kBarAreaHeight; ++h) {
    QColor c = t.spectrogram_floor;
    if (h > floor) {
      const double x = static_cast<double>(h - floor) / std::max(1, kBarAreaHeight - floor) * (kStopCount - 1);
      const int k = std::min(static_cast<int>(x), kStopCount - 2);
      const double f = x - k;
      c = QColor(static_cast<int>(std::lround(kStops[k].red() + f * (kStops[k + 1].red() - kStops[k].red()))),
                 static_cast<int>(std::lround(kStops[k].green() + f * (kStops[k + 1].green() - kStops[k].green()))),
                 static_cast<int>(std::lround(kStops[k].blue() + f * (kStops[k + 1].blue() - kStops[k].blue()))));
    }
    map[h] = shown(c, live).rgb();
  }
  if (image->size() != QSize(kBarCount, Spectrogram::kRows)) *image = QImage(kBarCount, Spectrogram::kRows, QImage::Format_RGB32);
  for (int age = 0; age < Spectrogram::kRows; ++age) {
    auto* line = reinterpret_cast<QRgb*>(image->scanLine(age));
    for (int i = 0; i < kBarCount; ++i) line[i] = map[s.height(age, i)];
  }
  p.drawImage(QRect(l.left, l.spectrogram_top, l.right - l.left, l.spectrogram_bottom - l.spectrogram_top), *image);
}

void paintAxis(QPainter& p, const Layout& l, const Theme& t, const QFont& label_font) {
  p.setFont(label_font);
  p.setPen(t.scale);
  const QFontMetrics fm(label_font);
  const int gap = fm.horizontalAdvance(QLatin1Char(' '));
  int free_from = 0;  // first column a label may use
  for (const AxisLabel& a : kAxisLabels) {
    const QString text = QString::fromLatin1(a.text);
    const int band = bandNearestTo(a.hz);
    const int centre = (l.barLeft(band) + l.barRight(band)) / 2;
    const int w = fm.horizontalAdvance(text);
    const int x = centre - w / 2;
    if (x < free_from || x + w > l.width) continue;
    p.drawText(x, l.axis_top + fm.ascent(), text);
    free_from = x + w + gap;
  }
}

void paintStatus(QPainter& p, const Layout& l, const Theme& t, const Status& s, const QFont& font,
                 const QString& text) {
  const QString shown = text.isEmpty() ? QString::fromStdString(statusText(s)) : text;
  if (shown.isEmpty()) return;
  QColor c = t.live;
  if (!text.isEmpty()) {
    c = t.scale;  // a notice
  } else if (s.kind == Status::stale) {
    c = t.stale;
  } else if (s.kind == Status::lost) {
    c = t.lost;
  } else if (s.ringing_band >= 0) {
    c = t.ringing;
  }
  p.setFont(font);
  p.setPen(c);
  const QRect area(l.status_left, l.status_top, l.status_right - l.status_left, l.status_bottom - l.status_top);
  p.drawText(area, Qt::AlignLeft | Qt::AlignVCenter, shown);
}

QStringList readoutLines(const DisplayModel& m, int band, Micros now) {
  const Band& b = m.band(band);
  QStringList lines;
  lines << QString::fromStdString(frequencyText(bandCentreHz(band)));
  QString value = QStringLiteral("value %1").arg(b.value);
  if (m.averaging() != Averaging::off) value += QStringLiteral(" (averaged %1)").arg(std::lround(b.averaged));
  lines << value;
  lines << QStringLiteral("height %1 of %2").arg(std::min(b.height, kBarAreaHeight)).arg(kBarAreaHeight);
  lines << QStringLiteral("peak %1").arg(std::lround(m.peakHeight(band)));
  QString dropped = QStringLiteral("%1 foreign").arg(m.droppedForeign());
  if (m.droppedShort() > 0) dropped += QStringLiteral(" and %1 short").arg(m.droppedShort());
  lines << QStringLiteral("%1 datagrams/s, %2 dropped").arg(m.datagramsPerSecond(now)).arg(dropped);
  return lines;
}

QImage readoutBox(const QStringList& lines, const Theme& t, const QFont& font, double dpr) {
  const QFontMetrics fm(font);
  const int pad = static_cast<int>(std::lround(kReadoutPadding * dpr));
  int w = 0;
  for (const QString& s : lines) w = std::max(w, fm.horizontalAdvance(s));
  // Opaque, so that showing it over the bars is a copy rather than a blend.
  QImage box(w + 2 * pad, static_cast<int>(lines.size()) * fm.height() + 2 * pad, QImage::Format_RGB32);
  box.fill(t.readout_back);
  QPainter p(&box);
  p.setPen(t.scale);
  p.drawRect(box.rect().adjusted(0, 0, -1, -1));
  p.setFont(font);
  p.setPen(t.readout_text);
  int line_y = pad + fm.ascent();
  for (const QString& s : lines) {
    p.drawText(pad, line_y, s);
    line_y += fm.height();
  }
  return box;
}

QPoint readoutPlace(const Layout& l, QSize box, int x, int y) {
  const int offset = static_cast<int>(std::lround(kReadoutOffset * l.dpr));
  // Beside the pointer, on whichever side leaves the box inside the window.
  int bx = x + offset;
  int by = y + offset;
  if (bx + box.width() > l.width) bx = x - offset - box.width();
  if (by + box.height() > l.height) by = y - offset - box.height();
  return QPoint(std::max(0, bx), std::max(l.top, by));  // below the controls
}

}  // namespace bandscope
