// SPDX-License-Identifier: MIT
// Paces the window's frames to the screen's refresh however fast datagrams come, wakes for a
// status change due without new data, and counts what the display path did.
#pragma once

#include <QObject>

#include <cstdint>

#include "model.h"

class QTimer;

namespace bandscope {

// Counters for measuring the display path.
struct DisplayStats {
  int64_t datagrams = 0;         // meter datagrams shown
  int64_t skipped = 0;           // datagrams left out because the window fell behind the link
  int64_t paints = 0;            // every paint of the window
  int64_t frames = 0;            // paints that showed at least one new datagram
  int64_t latency_sum_us = 0;    // reading of the oldest unshown datagram to the end of its frame
  int64_t latency_max_us = 0;
};

class FramePacer : public QObject {
  Q_OBJECT

 public:
  // Frames come at most refresh_hz times a second (a rate below 1 stands for 60).
  FramePacer(double refresh_hz, QObject* parent);

  // Asks for a frame: at once when the last paint is a frame's time ago, else when it will be.
  // Several asks before the frame make one.
  void schedule();
  // Wakes with statusDue for the status change at next on the display's clock, now being now
  // (-1: none due).
  void armStatus(Micros now, Micros next);
  void stop();

  // count datagrams are waiting to be painted, the oldest read at steady time read_at.
  void datagramsWaiting(int64_t count, Micros read_at);
  void setSkipped(int64_t skipped) { stats_.skipped = skipped; }
  // The spectrum was painted.
  void painted();
  const DisplayStats& stats() const { return stats_; }

 signals:
  void frameDue();
  void statusDue();

 private:
  QTimer* frame_timer_;
  QTimer* status_timer_;
  Micros frame_interval_us_;
  Micros status_due_ = 0;  // on the display's clock: when the armed status timer is meant for
  Micros last_paint_ = 0;  // on the steady clock, whatever the display's clock
  Micros unshown_since_ = -1;  // reading of the oldest datagram not yet painted
  DisplayStats stats_;
};

}  // namespace bandscope
