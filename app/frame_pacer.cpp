// SPDX-License-Identifier: MIT
#include "frame_pacer.h"

#include <QTimer>

#include <algorithm>

#include "playback.h"

namespace bandscope {

namespace {

// Paints follow the screen's refresh; this rate stands in when the screen does not say.
constexpr double kDefaultRefreshHz = 60.0;

Micros microsToMs(Micros us) { return (us + 999) / 1000; }

QTimer* preciseTimer(QObject* parent) {
  auto* t = new QTimer(parent);
  t->setSingleShot(true);
  t->setTimerType(Qt::PreciseTimer);
  return t;
}

}  // namespace

FramePacer::FramePacer(double refresh_hz, QObject* parent)
    : QObject(parent),
      frame_timer_(preciseTimer(this)),
      status_timer_(preciseTimer(this)),
      frame_interval_us_(static_cast<Micros>(kSecond / (refresh_hz >= 1.0 ? refresh_hz : kDefaultRefreshHz))) {
  connect(frame_timer_, &QTimer::timeout, this, &FramePacer::frameDue);
  connect(status_timer_, &QTimer::timeout, this, &FramePacer::statusDue);
}

void FramePacer::schedule() {
  if (frame_timer_->isActive()) return;
  const Micros since = steadyMicros() - last_paint_;
  if (since >= frame_interval_us_) {
    emit frameDue();  // its paints are posted, so several calls before they run still make one
  } else {
    frame_timer_->start(static_cast<int>(microsToMs(frame_interval_us_ - since)));
  }
}

void FramePacer::armStatus(Micros now, Micros next) {
  if (next < 0) {
    status_timer_->stop();
    return;
  }
  // Each datagram moves the change later; a timer that fires before it finds nothing to paint
  // and is armed again, which costs less than setting it anew at every frame.
  if (status_timer_->isActive() && status_due_ <= next) return;
  status_due_ = next;
  status_timer_->start(static_cast<int>(microsToMs(std::max<Micros>(0, next - now))));
}

void FramePacer::stop() {
  frame_timer_->stop();
  status_timer_->stop();
}

void FramePacer::datagramsWaiting(int64_t count, Micros read_at) {
  stats_.datagrams += count;
  if (count > 0 && unshown_since_ < 0) unshown_since_ = read_at;
}

void FramePacer::painted() {
  last_paint_ = steadyMicros();
  ++stats_.paints;
  if (unshown_since_ < 0) return;
  const Micros latency = last_paint_ - unshown_since_;
  ++stats_.frames;
  stats_.latency_sum_us += latency;
  stats_.latency_max_us = std::max(stats_.latency_max_us, latency);
  unshown_since_ = -1;
}

}  // namespace bandscope
