// SPDX-License-Identifier: MIT
// What the analyser shows, as plain data: per band the meter value, its average, the bar height,
// the peak marker and the max-hold trace; for the link whether it is live, stale or lost, and its
// figures. No window system and no clock of its own: every event and every query carries its
// time, so the display's rules are exercised with made-up times.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "bars.h"

namespace bandscope {

// Times are microseconds on a monotonic clock.
using Micros = int64_t;
inline constexpr Micros kSecond = 1000000;

// A display without a datagram for this long is stale: its bars turn grey.
inline constexpr Micros kStaleAfter = 500000;
// A peak marker stays at its height this long, then falls at 60 % of the bar area per second.
inline constexpr Micros kPeakHold = 1500000;
inline constexpr double kPeakFallPerSecond = 0.6 * kBarAreaHeight;
// Time constants of the fast and the slow exponential average.
inline constexpr Micros kFastAveraging = 125000;
inline constexpr Micros kSlowAveraging = 1000000;

// Returns band's centre frequency in Hz. The console does not document its bands: this assumes
// 1/12 octave each, band k centred on 1000 * 2^((k - 67) / 12) Hz (20.9 Hz to 20.2 kHz).
double bandCentreHz(int band);

// Returns the band whose centre is nearest to hz (clamped to the first and last band).
int bandNearestTo(double hz);

// Returns hz with three significant figures and its unit: "20.9 Hz", "125 Hz", "1.00 kHz".
std::string frequencyText(double hz);

// The nominal frequencies labelled under the bars, lowest first.
struct AxisLabel {
  const char* text;
  double hz;
};
inline constexpr AxisLabel kAxisLabels[] = {{"31.5", 31.5}, {"63", 63},   {"125", 125}, {"250", 250},
                                            {"500", 500},   {"1k", 1000}, {"2k", 2000}, {"4k", 4000},
                                            {"8k", 8000},   {"16k", 16000}};

enum class Averaging { off, fast, slow };
enum class Link { idle, connecting, connected, lost };

// What the status area says: nothing (not connected), "Live", "No meter data for N s" or
// "Console lost - reconnecting"; for a frozen picture "Frozen" (and the moment it shows when
// scrubbed back), for a replay "Replay" or "Replay paused" and where it is; and "Ringing near
// 2.52 kHz" for a ringing band.
struct Status {
  enum Kind { none, live, stale, lost } kind = none;
  int seconds = 0;  // N of the stale text
  enum Hold { running, frozen, replay, replay_paused } hold = running;
  std::string position;   // the moment shown: "21:14:03.2" when frozen, "0:12 / 3:40" in a replay
  int ringing_band = -1;  // the band named as ringing, or -1

  bool operator==(const Status&) const = default;
};

// Returns the status area's text for status.
std::string statusText(const Status& status);

// One band's state. Heights are pixels of the 128-pixel scale.
struct Band {
  int value = -32768;         // last meter value
  double averaged = -32768;   // the value after averaging; what the bar shows
  int height = 0;             // bar height of the averaged value (may exceed the scale)
  double peak = 0;            // peak marker height when last raised, at most the scale
  Micros peak_at = 0;         // when it was last raised
  double max_hold = 0;        // highest height since the last reset, at most the scale
};

class DisplayModel {
 public:
  // Takes the 120 values of one meter datagram that arrived at time at.
  void addValues(const int16_t* values, Micros at);

  // Records a change of the link at time at (connected again after lost, and so on).
  void setLink(Link link, Micros at);
  Link link() const { return link_; }

  // Chooses the averaging of later values; the averages go on from where they are.
  void setAveraging(Averaging averaging) { averaging_ = averaging; }
  Averaging averaging() const { return averaging_; }
  // Steps off -> fast -> slow -> off.
  void cycleAveraging();

  // Shows or hides the max-hold trace; showing it starts it from the current bars.
  void setMaxHold(bool on);
  bool maxHold() const { return max_hold_on_; }

  // Sets every peak marker and the max-hold trace to the current bar.
  void resetPeaks();

  // Records the total of meter datagrams dropped because another host sent them.
  void setDroppedForeign(int64_t dropped) { dropped_foreign_ = dropped; }
  int64_t droppedForeign() const { return dropped_foreign_; }
  // Counts a datagram that came without a whole RTA block: it is not drawn.
  void addShort() { ++dropped_short_; }
  int64_t droppedShort() const { return dropped_short_; }

  // True once a datagram has been taken.
  bool hasValues() const { return datagrams_ > 0; }
  int64_t datagrams() const { return datagrams_; }
  const Band& band(int i) const { return bands_[static_cast<size_t>(i)]; }

  // Returns the height of band i's peak marker. Markers move on the datagrams' time line, so a
  // display without data stands still instead of letting its markers drift down.
  double peakHeight(int i) const;

  // Returns the status at time now.
  Status status(Micros now) const;
  // True when the bars are live, drawn in colour rather than greys: a datagram came within the
  // last 500 ms and the console is not lost.
  bool live(Micros now) const {
    return link_ != Link::lost && hasValues() && now - last_datagram_ < kStaleAfter;
  }

  // Returns the datagrams taken in the second up to now.
  int datagramsPerSecond(Micros now) const;

  // Returns the next time after now at which the status changes without a new event, or -1
  // when it will not.
  Micros nextStatusChange(Micros now) const;

 private:
  // Datagrams are counted in tenths of a second for the rate over the last second.
  static constexpr Micros kRateSlot = kSecond / 10;
  static constexpr int kRateSlots = 10;

  double peakAt(const Band& band, Micros t) const;

  std::array<Band, kBarCount> bands_{};
  Averaging averaging_ = Averaging::off;
  bool max_hold_on_ = false;
  Link link_ = Link::idle;
  Micros link_since_ = 0;
  Micros last_datagram_ = 0;
  int64_t datagrams_ = 0;
  int64_t dropped_foreign_ = 0;
  int64_t dropped_short_ = 0;
  std::array<int, kRateSlots> rate_counts_{};
  int64_t rate_last_slot_ = 0;
};

}  // namespace bandscope
