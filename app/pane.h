// SPDX-License-Identifier: MIT
// A child area of the window that the window paints: the spectrum below the controls and the
// status beside them. Each repaints on its own, so a frame touches one rectangle and never the
// controls.
#pragma once

#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QWidget>

#include <functional>
#include <utility>

namespace bandscope {

class Pane : public QWidget {
 public:
  // Creates a pane of parent that paints the region of each paint event with paint; mouse events
  // go on to the parent.
  Pane(QWidget* parent, std::function<void(QPainter&, const QRegion&)> paint)
      : QWidget(parent), paint_(std::move(paint)) {
    // The painter covers every pixel of the pane, so nothing needs erasing first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
  }

 protected:
  // QWidget
  void paintEvent(QPaintEvent* event) override {
    QPainter painter(this);
    paint_(painter, event->region());
  }

 private:
  std::function<void(QPainter&, const QRegion&)> paint_;
};

}  // namespace bandscope
