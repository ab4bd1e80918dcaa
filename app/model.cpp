// SPDX-License-Identifier: MIT
#include "model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace bandscope {

namespace {

// Band 67 is centred on 1 kHz; twelve bands make an octave.
constexpr int kReferenceBand = 67;
constexpr double kReferenceHz = 1000.0;
constexpr double kBandsPerOctave = 12.0;

double shownHeight(int height) { return std::min(height, kBarAreaHeight); }

}  // namespace

double bandCentreHz(int band) {
  return kReferenceHz * std::exp2((band - kReferenceBand) / kBandsPerOctave);
}

int bandNearestTo(double hz) {
  const long band = std::lround(kReferenceBand + kBandsPerOctave * std::log2(hz / kReferenceHz));
  return static_cast<int>(std::clamp<long>(band, 0, kBarCount - 1));
}

std::string frequencyText(double hz) {
  // Choose the unit on the rounded value, so 999.7 Hz reads "1.00 kHz", not "1000 Hz".
  const bool khz = hz >= 999.5;
  const double v = khz ? hz / 1000.0 : hz;
  const int decimals = v < 9.995 ? 2 : v < 99.95 ? 1 : 0;
  char text[32];
  std::snprintf(text, sizeof text, "%.*f %s", decimals, v, khz ? "kHz" : "Hz");
  return text;
}

std::string statusText(const Status& status) {
  std::string link;
  switch (status.kind) {
    case Status::live: link = "Live"; break;
    case Status::stale: link = "No meter data for " + std::to_string(status.seconds) + " s"; break;
    case Status::lost: link = "Console lost - reconnecting"; break;
    case Status::none: break;
  }
  const std::string at = status.position.empty() ? "" : " " + status.position;
  std::string text;
  switch (status.hold) {
    case Status::running: text = link; break;
    case Status::frozen: text = "Frozen" + (at.empty() ? "" : " at" + at); break;
    case Status::replay: text = "Replay" + at; break;
    case Status::replay_paused: text = "Replay paused" + at; break;
  }
  // Trouble with the link is never hidden; a live picture needs no word once it rings.
  if (status.hold != Status::running && (status.kind == Status::stale || status.kind == Status::lost))
    text += " - " + link;
  if (status.ringing_band >= 0) {
    const std::string ringing = "Ringing near " + frequencyText(bandCentreHz(status.ringing_band));
    text = status.hold == Status::running && status.kind == Status::live ? ringing
           : text.empty()                                               ? ringing
                                                                        : text + " - " + ringing;
  }
  return text;
}

void DisplayModel::addValues(const int16_t* values, Micros at) {
  const bool first = datagrams_ == 0;
  double alpha = 1.0;  // share of the new value in the average
  if (!first && averaging_ != Averaging::off) {
    const Micros tau = averaging_ == Averaging::fast ? kFastAveraging : kSlowAveraging;
    const Micros dt = at - last_datagram_;
    alpha = dt > 0 ? 1.0 - std::exp(-static_cast<double>(dt) / static_cast<double>(tau)) : 0.0;
  }
  for (int i = 0; i < kBarCount; ++i) {
    Band& b = bands_[static_cast<size_t>(i)];
    b.value = values[i];
    if (alpha >= 1.0) {
      b.averaged = b.value;
      b.height = barHeight(b.value);
    } else {
      b.averaged += alpha * (b.value - b.averaged);
      b.height = barHeight(static_cast<int>(std::lround(b.averaged)));
    }
    const double shown = shownHeight(b.height);
    // A bar at or above its falling marker lifts the marker and restarts its hold.
    if (shown >= peakAt(b, at)) {
      b.peak = shown;
      b.peak_at = at;
    }
    b.max_hold = std::max(b.max_hold, shown);
  }
  last_datagram_ = at;
  ++datagrams_;

  const int64_t slot = at / kRateSlot;
  if (slot > rate_last_slot_) {
    for (int64_t s = std::max(rate_last_slot_ + 1, slot - kRateSlots + 1); s <= slot; ++s)
      rate_counts_[static_cast<size_t>(s % kRateSlots)] = 0;
    rate_last_slot_ = slot;
  }
  ++rate_counts_[static_cast<size_t>(rate_last_slot_ % kRateSlots)];
}

void DisplayModel::setLink(Link link, Micros at) {
  link_ = link;
  link_since_ = at;
}

void DisplayModel::cycleAveraging() {
  switch (averaging_) {
    case Averaging::off: averaging_ = Averaging::fast; break;
    case Averaging::fast: averaging_ = Averaging::slow; break;
    case Averaging::slow: averaging_ = Averaging::off; break;
  }
}

void DisplayModel::setMaxHold(bool on) {
  if (on && !max_hold_on_)
    for (Band& b : bands_) b.max_hold = shownHeight(b.height);
  max_hold_on_ = on;
}

void DisplayModel::resetPeaks() {
  for (Band& b : bands_) {
    b.peak = shownHeight(b.height);
    b.peak_at = last_datagram_;
    b.max_hold = b.peak;
  }
}

double DisplayModel::peakAt(const Band& band, Micros t) const {
  const Micros held = t - band.peak_at;
  if (held <= kPeakHold) return band.peak;
  const double fallen = kPeakFallPerSecond * static_cast<double>(held - kPeakHold) / kSecond;
  return std::max(0.0, band.peak - fallen);
}

double DisplayModel::peakHeight(int i) const { return peakAt(bands_[static_cast<size_t>(i)], last_datagram_); }

Status DisplayModel::status(Micros now) const {
  Status s;
  if (link_ == Link::lost) {
    s.kind = Status::lost;
    return s;
  }
  if (link_ != Link::connected) return s;
  // Silence counts from the last datagram, or from the connection when none came yet.
  const Micros since = hasValues() ? last_datagram_ : link_since_;
  const Micros quiet = now - since;
  if (quiet < kStaleAfter) {
    if (hasValues()) s.kind = Status::live;
    return s;
  }
  s.kind = Status::stale;
  s.seconds = static_cast<int>(std::max<Micros>(1, quiet / kSecond));
  return s;
}

int DisplayModel::datagramsPerSecond(Micros now) const {
  // The ten whole slots before the current one: one second, with no partial slot in it.
  const int64_t current = now / kRateSlot;
  int sum = 0;
  for (int64_t s = current - kRateSlots; s < current; ++s)
    if (s >= 0 && s <= rate_last_slot_ && s > rate_last_slot_ - kRateSlots)
      sum += rate_counts_[static_cast<size_t>(s % kRateSlots)];
  return sum;
}

Micros DisplayModel::nextStatusChange(Micros now) const {
  const Status s = status(now);
  const Micros since = hasValues() ? last_datagram_ : link_since_;
  switch (s.kind) {
    case Status::live: return since + kStaleAfter;
    case Status::stale: return since + (s.seconds + 1) * kSecond;
    case Status::none: return link_ == Link::connected ? since + kStaleAfter : -1;
    case Status::lost: break;
  }
  return -1;
}

}  // namespace bandscope
