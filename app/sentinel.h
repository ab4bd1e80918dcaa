// SPDX-License-Identifier: MIT
// The feedback sentinel: finds a band that rings. A band rings when it is the highest of the three
// around it, stands clearly above the bands on both sides of it and above its own recent
// average, and keeps doing so, still growing, for about a second; it stays marked while it
// stands above its neighbours. A broadband rise lifts the
// neighbours too, and a steady peak is its own average, so neither is flagged. Plain C++ on the
// datagrams' time line, like the display model.
#pragma once

#include <array>
#include <cstdint>

#include "model.h"

namespace bandscope {

// The rule's numbers; the defaults were chosen from recordings of mixsim's spectrum with and
// without its feedback band (docs/bandscope.md, "Feedback sentinel"). Levels are in meter units.
struct SentinelRule {
  Micros smoothing = 150000;     // each band's level: its values averaged over this time constant
  Micros own_average = 4000000;  // its recent average: the level averaged over this time constant
  double above_neighbours = 600; // level above the higher of the two sides' mean (bands 2 and 3 away)
  double above_average = 300;    // level above its own recent average
  double above_adjacent = 600;   // level above the bands right beside it
  Micros hold = 1000000;         // how long all of these must hold before the band is flagged
  double rise = 300;             // how much the level must have grown over that time
  Micros release = 500000;       // a flagged band stays so until it has not stood out for this long
};

class FeedbackSentinel {
 public:
  FeedbackSentinel() = default;
  explicit FeedbackSentinel(SentinelRule rule) : rule_(rule) {}

  // Takes the values of one datagram that arrived at time at.
  void addValues(const int16_t* values, Micros at);
  // Forgets every level and flag, as for a new start.
  void reset();

  bool ringing(int band) const { return bands_[static_cast<size_t>(band)].flagged; }
  // The ringing band that stands furthest above its neighbours, or -1 when none rings.
  int loudestRinging() const;
  // How far band's level stands above its neighbours and above its own average (for the scan of
  // recordings that chose the rule).
  double aboveNeighbours(int band) const;
  double aboveAverage(int band) const;

 private:
  struct Band {
    double level = -32768;
    double average = -32768;
    Micros standing_since = -1;  // when both conditions began to hold; -1 while they do not
    double standing_level = 0;   // the level then
    Micros stood_at = -1;        // the last time it stood above its neighbours while flagged
    bool flagged = false;
  };

  SentinelRule rule_;
  std::array<Band, kBarCount> bands_{};
  Micros last_ = 0;
  bool started_ = false;
};

}  // namespace bandscope
