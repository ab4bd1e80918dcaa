// SPDX-License-Identifier: MIT
// What the display shows and on which clock: the datagrams as they come (live), a picture held
// while they still come (frozen, with the show recorder to step through), or a recording played
// at its pace (replay, whose position is the display's clock). Plain C++: no window, no timers;
// the window asks what is due and when.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "model.h"
#include "show.h"

namespace bandscope {

// Microseconds on the monotonic clock that stamps datagrams and link events.
Micros steadyMicros();

// "m:ss" of a span of time.
std::string minutesText(Micros span);

// Where the timeline stands while frozen or paused: its range and value in tenths of a second.
struct Timeline {
  bool shown = false;
  int range = 0;
  int value = 0;
};

class Playback {
 public:
  static constexpr Micros kTimelineStep = kSecond / 10;

  // wall_offset: the wall clock less the steady clock, so that a recording keeps the datagrams'
  // spacing exactly as the display saw it.
  explicit Playback(Micros wall_offset = 0) : wall_offset_(wall_offset) {}

  // Replaces the clock under the display (microseconds, monotonic); for tests.
  void setClock(std::function<Micros()> clock) { clock_ = std::move(clock); }
  // The display's clock: the clock given, or where a replay stands.
  Micros now() const;
  // The time of the picture shown: the moment frozen at, or now.
  Micros shownNow() const { return frozen_ ? frozen_at_ : now(); }

  ShowState& live() { return live_; }
  const ShowState& live() const { return live_; }
  const ShowState& shown() const { return frozen_ ? *frozen_ : live_; }
  // The datagrams one can step through: the show's, or the replay's.
  const ShowRecorder& recorder() const { return replay_ ? replay_data_ : recorder_; }
  bool isFrozen() const { return frozen_.has_value(); }
  bool isReplay() const { return replay_; }
  bool isReplayRunning() const { return replay_ && replay_running_; }
  bool isReplayPaused() const { return replay_ && !replay_running_; }

  // Shows d in the live state and, outside a replay, keeps it in the show recorder with its
  // wall time; false when it holds no whole RTA block (it is then only counted).
  bool take(const MeterDatagram& d);
  // The wall-clock time of a datagram that came at time at.
  Micros wallOf(Micros at) const { return at + wall_offset_; }

  // Holds the picture or lets it go live again (in a replay: pauses or plays on).
  void setFrozen(bool frozen);
  // While frozen or paused: the datagram delta steps away, or the one at index of the recorder.
  bool step(int delta);
  bool showMoment(size_t index);
  // While frozen or paused: the moment at value tenths of a second on the timeline.
  bool showTimelineAt(int value) { return showMoment(recorder().indexAt(timelineFrom() + value * kTimelineStep)); }
  Timeline timeline() const;

  // Plays datagrams (at least one) instead of a console.
  void startReplay(const std::vector<MeterDatagram>& datagrams);
  void setReplayPaused(bool paused);
  // Shows the replay's datagrams that are due; returns how many. At the end the replay pauses.
  int playDue();
  // Microseconds until the replay's next datagram, or -1 when it does not play.
  Micros nextDue() const;

  // The status of what is shown at the display's time now.
  Status status(Micros now) const;

 private:
  Micros timelineFrom() const { return recorder().empty() ? 0 : recorder()[0].at; }

  std::function<Micros()> clock_ = steadyMicros;
  Micros wall_offset_;
  ShowState live_;                   // the datagrams as they come (or as a replay plays them)
  std::optional<ShowState> frozen_;  // the picture held while frozen
  Micros frozen_at_ = 0;             // the display time of the frozen (or paused) picture
  bool frozen_moved_ = false;        // the frozen picture was moved off the moment of freezing
  ShowRecorder recorder_;            // the last hour of datagrams
  // A replay: its datagrams, the next one to show, and where the recorded time line stood
  // against the steady clock when it last started playing.
  bool replay_ = false;
  bool replay_running_ = false;
  ShowRecorder replay_data_{INT64_MAX, SIZE_MAX};
  size_t replay_next_ = 0;
  Micros replay_origin_steady_ = 0, replay_origin_at_ = 0;
};

}  // namespace bandscope
