// SPDX-License-Identifier: MIT
#include "sentinel.h"

#include <algorithm>
#include <cmath>

namespace bandscope {

namespace {

// The neighbours compared with a band: 2 and 3 bands away on each side. The band next to it
// shares its energy (a tone between two centres lights both), so it is not a neighbour here.
constexpr int kNearest = 2;
constexpr int kFarthest = 3;

double share(Micros dt, Micros tau) {
  return dt > 0 ? 1.0 - std::exp(-static_cast<double>(dt) / static_cast<double>(tau)) : 0.0;
}

}  // namespace

void FeedbackSentinel::reset() {
  bands_ = {};
  started_ = false;
}

double FeedbackSentinel::aboveNeighbours(int band) const {
  // The mean of each side's neighbours; the band must clear the higher side, so the flank of a
  // broad hump is not a peak. At the ends of the spectrum the one side there is decides.
  double higher = -1e9;
  for (int side : {-1, 1}) {
    double sum = 0;
    int n = 0;
    for (int d = kNearest; d <= kFarthest; ++d) {
      const int k = band + side * d;
      if (k < 0 || k >= kBarCount) continue;
      sum += bands_[static_cast<size_t>(k)].level;
      ++n;
    }
    if (n > 0) higher = std::max(higher, sum / n);
  }
  return bands_[static_cast<size_t>(band)].level - higher;
}

double FeedbackSentinel::aboveAverage(int band) const {
  const Band& b = bands_[static_cast<size_t>(band)];
  return b.level - b.average;
}

void FeedbackSentinel::addValues(const int16_t* values, Micros at) {
  if (!started_) {
    for (int i = 0; i < kBarCount; ++i) {
      bands_[static_cast<size_t>(i)].level = values[i];
      bands_[static_cast<size_t>(i)].average = values[i];
    }
    started_ = true;
    last_ = at;
    return;
  }
  const Micros dt = at - last_;
  last_ = at;
  const double smooth = share(dt, rule_.smoothing);
  const double slow = share(dt, rule_.own_average);
  for (int i = 0; i < kBarCount; ++i) {
    Band& b = bands_[static_cast<size_t>(i)];
    b.level += smooth * (values[i] - b.level);
    b.average += slow * (b.level - b.average);
  }
  for (int i = 0; i < kBarCount; ++i) {
    Band& b = bands_[static_cast<size_t>(i)];
    const bool stands = aboveNeighbours(i) >= rule_.above_neighbours;
    if (b.flagged) {
      // Ringing that has settled is its own average by now: only the neighbours count.
      if (stands) b.stood_at = at;
      if (at - b.stood_at >= rule_.release) {
        b.flagged = false;
        b.standing_since = -1;
      }
      continue;
    }
    // Feedback is one tone: a band is a candidate only while it stands clearly above the bands
    // right beside it, which a broad hump of the music (or a tone gliding in from beside it)
    // does not.
    const double sharp = b.level - rule_.above_adjacent;
    const bool crest = (i == 0 || sharp > bands_[static_cast<size_t>(i - 1)].level) &&
                       (i + 1 == kBarCount || sharp > bands_[static_cast<size_t>(i + 1)].level);
    if (stands && crest && aboveAverage(i) >= rule_.above_average) {
      if (b.standing_since < 0) {
        b.standing_since = at;
        b.standing_level = b.level;
      }
      if (at - b.standing_since >= rule_.hold) {
        // A tone that came and rests has stopped growing; feedback goes on.
        if (b.level - b.standing_level >= rule_.rise) {
          b.flagged = true;
          b.stood_at = at;
        } else {
          b.standing_since = at;
          b.standing_level = b.level;
        }
      }
    } else {
      b.standing_since = -1;
    }
  }
}

int FeedbackSentinel::loudestRinging() const {
  int best = -1;
  double best_margin = 0;
  for (int i = 0; i < kBarCount; ++i) {
    if (!bands_[static_cast<size_t>(i)].flagged) continue;
    const double margin = aboveNeighbours(i);
    if (best < 0 || margin > best_margin) {
      best = i;
      best_margin = margin;
    }
  }
  return best;
}

}  // namespace bandscope
