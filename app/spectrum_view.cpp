// SPDX-License-Identifier: MIT
#include "spectrum_view.h"

#include <QFontInfo>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

#include "playback.h"

namespace bandscope {

namespace {

// The hover readout's figures are renewed this often.
constexpr Micros kReadoutRefresh = 500000;

int devicePixels(double logical, double dpr) { return static_cast<int>(std::lround(logical * dpr)); }

}  // namespace

Layout layoutOf(QSize window, double dpr, View view) {
  return Layout(devicePixels(window.width(), dpr), devicePixels(window.height(), dpr), dpr, view);
}

double paintInWindowPixels(QPainter& painter, const QWidget* pane) {
  const double dpr = painter.deviceTransform().m11();
  painter.scale(1.0 / dpr, 1.0 / dpr);
  painter.translate(-devicePixels(pane->x(), dpr), -devicePixels(pane->y(), dpr));
  return dpr;
}

QFont fontAt(const QFont& base, double dpr, bool bold) {
  // The controls' font, in device pixels.
  return textFont(base, devicePixels(QFontInfo(base).pixelSize(), dpr), bold);
}

SpectrumView::SpectrumView(QWidget* window, std::function<SpectrumState()> state)
    : QWidget(window), state_(std::move(state)) {
  setObjectName(QStringLiteral("spectrum"));
  // The painter covers every pixel, so nothing needs erasing first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(true);
}

void SpectrumView::requestFrame() {
  if (whole_) {
    update();
  } else {
    bars_update_ = barColumnsRect();
    update(bars_update_);
  }
}

void SpectrumView::requestWhole() {
  whole_ = true;
  update();
}

bool SpectrumView::readoutDue() const { return steadyMicros() - readout_made_ >= kReadoutRefresh; }

QRect SpectrumView::barColumnsRect() const {
  const double dpr = devicePixelRatioF();
  const Layout l = layoutOf(parentWidget()->size(), dpr, state_().view);
  const int pane_top = devicePixels(y(), dpr);
  const int top = std::min(l.top, l.spectrogram_top);
  return QRect(QPoint(static_cast<int>(std::floor(l.left / dpr)), static_cast<int>(std::floor((top - pane_top) / dpr))),
               QPoint(static_cast<int>(std::ceil(l.right / dpr)) - 1,
                      static_cast<int>(std::ceil((l.bottom - pane_top) / dpr)) - 1));
}

void SpectrumView::paintEvent(QPaintEvent* event) {
  // Frames repaint only the bar columns: everything drawn from the model stays inside them, and
  // the area keeps the rest of the last paint. Anything else (an expose, a resize, the theme,
  // a moved readout) paints the whole area from the backdrop.
  const bool whole = whole_ || event->region() != QRegion(bars_update_);
  whole_ = false;
  const SpectrumState s = state_();
  QPainter painter(this);
  const double dpr = paintInWindowPixels(painter, this);
  paint(painter, s, dpr, whole);
  painter.end();
  shown_live_ = s.show->model.live(s.now);
  emit painted();
}

void SpectrumView::paint(QPainter& painter, const SpectrumState& s, double dpr, bool whole) const {
  const Layout layout = layoutOf(parentWidget()->size(), dpr, s.view);
  const DisplayModel& model = s.show->model;
  const Theme& theme = s.theme;

  // What changes only with the size and the theme is drawn once into the backdrop.
  if (backdrop_.size() != QSize(layout.width, layout.height) || backdrop_dpr_ != dpr || backdrop_dark_ != theme.dark ||
      backdrop_view_ != s.view) {
    whole = true;
    // In the format of the surface painted on, so that showing it is a plain copy.
    const QPaintDevice* surface = painter.paintEngine()->paintDevice();
    const QImage::Format format = surface != nullptr && surface->devType() == QInternal::Image
                                      ? static_cast<const QImage*>(surface)->format()
                                      : QImage::Format_ARGB32_Premultiplied;
    backdrop_ = QImage(layout.width, layout.height, format);
    QPainter b(&backdrop_);
    const QFont labels = labelFont(layout.label_pixels);
    b.fillRect(backdrop_.rect(), theme.background);
    paintScale(b, layout, theme, labels);
    paintAxis(b, layout, theme, labels);
    backdrop_dpr_ = dpr;
    backdrop_dark_ = theme.dark;
    backdrop_view_ = s.view;
  }
  if (whole) painter.drawImage(0, 0, backdrop_);
  const bool live = model.live(s.now);
  const std::vector<Reference>& references = *s.references;
  if (model.hasValues()) {
    paintSpectrogram(painter, layout, theme, s.show->spectrogram, s.floor, live, &spectrogram_image_);
    paintBars(painter, layout, theme, model, live);
    paintReferences(painter, layout, references);
    paintRinging(painter, layout, theme, s.show->sentinel, live);
  } else if (std::any_of(references.begin(), references.end(), [](const Reference& r) { return r.shown; })) {
    paintReferences(painter, layout, references);
  }
  if (s.hover_band < 0 || !model.hasValues()) return;
  // Figures that changed at every frame could not be read; twice a second they can.
  if (readout_.isNull() || readout_band_ != s.hover_band || readout_dpr_ != dpr || readout_dark_ != theme.dark ||
      (whole && readoutDue())) {
    readout_ = readoutBox(readoutLines(model, s.hover_band, s.now), theme, fontAt(font(), dpr, false), dpr);
    readout_band_ = s.hover_band;
    readout_dpr_ = dpr;
    readout_dark_ = theme.dark;
    readout_made_ = steadyMicros();
  }
  painter.drawImage(
      readoutPlace(layout, readout_.size(), devicePixels(s.hover_pos.x(), dpr), devicePixels(s.hover_pos.y(), dpr)),
      readout_);
}

StatusView::StatusView(QWidget* window, std::function<StatusState()> state) : QWidget(window), state_(std::move(state)) {
  setObjectName(QStringLiteral("status"));
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(true);
}

void StatusView::paintEvent(QPaintEvent*) {
  const StatusState s = state_();
  shown_text_ = s.notice.isEmpty() ? QString::fromStdString(statusText(s.status)) : s.notice;
  QPainter painter(this);
  const double dpr = paintInWindowPixels(painter, this);
  const Layout layout = layoutOf(parentWidget()->size(), dpr, View::bars);
  painter.fillRect(QRect(devicePixels(x(), dpr), 0, layout.width, devicePixels(height(), dpr)), s.theme.background);
  paintStatus(painter, layout, s.theme, s.status, fontAt(font(), dpr, true), s.notice);
}

}  // namespace bandscope
