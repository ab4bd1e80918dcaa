// SPDX-License-Identifier: MIT
#include "playback.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace bandscope {

std::string minutesText(Micros span) {
  const long long s = std::max<Micros>(0, span) / kSecond;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  return text;
}

namespace {

// "hh:mm:ss.t" of a wall-clock time in local time.
std::string wallText(Micros wall) {
  const std::time_t seconds = static_cast<std::time_t>(wall / kSecond);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(wall % kSecond / (kSecond / 10)));
  return text;
}

}  // namespace

Micros Playback::now() const {
  if (!replay_) return clock_();
  if (!replay_running_) return frozen_at_;
  return replay_origin_at_ + (steadyMicros() - replay_origin_steady_);
}

bool Playback::take(const MeterDatagram& datagram) {
  // A datagram without a whole RTA block is counted, never drawn, and not kept for the timeline.
  if (!live_.add(datagram)) return false;
  if (replay_) return true;  // a replay's datagrams are its own history
  MeterDatagram d = datagram;
  d.wall = wallOf(d.at);
  recorder_.add(d);
  return true;
}

void Playback::setFrozen(bool frozen) {
  if (replay_) {
    setReplayPaused(frozen);
    return;
  }
  if (frozen == frozen_.has_value()) return;
  if (frozen) {
    frozen_ = live_;
    frozen_at_ = now();
    frozen_moved_ = false;
  } else {
    frozen_.reset();
  }
}

bool Playback::step(int delta) {
  const ShowRecorder& r = recorder();
  if (r.empty() || (!frozen_ && !isReplayPaused())) return false;
  // The datagram shown, or the last one before the moment of freezing.
  const long at = replay_ ? static_cast<long>(replay_next_) - 1 : static_cast<long>(r.indexAt(frozen_at_ + 1)) - 1;
  return showMoment(static_cast<size_t>(std::clamp<long>(at + delta, 0, static_cast<long>(r.size()) - 1)));
}

bool Playback::showMoment(size_t index) {
  const ShowRecorder& r = recorder();
  if (r.empty() || (!frozen_ && !isReplayPaused())) return false;
  index = std::min(index, r.size() - 1);
  ShowState state = r.stateAt(index, live_.model.averaging(), live_.model.maxHold());
  state.model.setLink(Link::connected, r[0].at);
  frozen_at_ = r[index].at;
  if (replay_) {
    // A paused replay goes on from here.
    live_ = std::move(state);
    replay_next_ = index + 1;
  } else {
    frozen_ = std::move(state);
    frozen_moved_ = true;
  }
  return true;
}

Timeline Playback::timeline() const {
  const ShowRecorder& r = recorder();
  Timeline t;
  t.shown = !r.empty() && (frozen_ || isReplayPaused());
  if (!t.shown) return t;
  t.range = static_cast<int>((r[r.size() - 1].at - timelineFrom()) / kTimelineStep);
  t.value = static_cast<int>((frozen_at_ - timelineFrom()) / kTimelineStep);
  return t;
}

void Playback::startReplay(const std::vector<MeterDatagram>& datagrams) {
  replay_ = true;
  for (const MeterDatagram& d : datagrams) replay_data_.add(d);
  live_.model.setLink(Link::connected, datagrams.front().at);
  replay_next_ = 0;
  frozen_at_ = datagrams.front().at;
  setReplayPaused(false);
}

void Playback::setReplayPaused(bool paused) {
  if (!replay_) return;
  if (paused) {
    if (!replay_running_) return;
    frozen_at_ = now();
    replay_running_ = false;
    return;
  }
  if (replay_next_ >= replay_data_.size()) {  // from the start again
    const Averaging averaging = live_.model.averaging();
    const bool max_hold = live_.model.maxHold();
    live_ = ShowState();
    live_.model.setAveraging(averaging);
    live_.model.setMaxHold(max_hold);
    live_.model.setLink(Link::connected, replay_data_[0].at);
    replay_next_ = 0;
    frozen_at_ = replay_data_[0].at;
  }
  replay_origin_steady_ = steadyMicros();
  replay_origin_at_ = frozen_at_;
  replay_running_ = true;
}

int Playback::playDue() {
  if (!isReplayRunning()) return 0;
  const Micros t = now();
  int shown = 0;
  for (; replay_next_ < replay_data_.size() && replay_data_[replay_next_].at <= t; ++shown)
    take(replay_data_[replay_next_++]);
  if (replay_next_ >= replay_data_.size()) setReplayPaused(true);  // the end: the last picture stays
  return shown;
}

Micros Playback::nextDue() const {
  if (!isReplayRunning() || replay_next_ >= replay_data_.size()) return -1;
  return std::max<Micros>(0, replay_data_[replay_next_].at - now());
}

Status Playback::status(Micros now) const {
  const ShowState& show = shown();
  Status s = isReplayPaused() ? show.model.status(show.model.hasValues() ? frozen_at_ : now) : live_.model.status(now);
  if (replay_) {
    s.hold = replay_running_ ? Status::replay : Status::replay_paused;
    const Micros first = replay_data_.empty() ? 0 : replay_data_[0].at;
    const Micros last = replay_data_.empty() ? 0 : replay_data_[replay_data_.size() - 1].at;
    const Micros at = replay_next_ > 0 ? replay_data_[replay_next_ - 1].at : first;
    s.position = minutesText(at - first) + " / " + minutesText(last - first);
    // Gaps in a recording read as gaps; the end of one does not.
    if (replay_next_ >= replay_data_.size()) s.kind = Status::live;
  } else if (frozen_) {
    s.hold = Status::frozen;
    if (frozen_moved_ && !recorder_.empty()) {
      const size_t i = std::min(recorder_.indexAt(frozen_at_), recorder_.size() - 1);
      s.position = wallText(recorder_[i].wall) + " (-" + minutesText(recorder_[recorder_.size() - 1].at - frozen_at_) + ")";
    }
  }
  // A band is named as ringing only on a picture that stands for the console.
  const bool picture = s.hold != Status::running || s.kind == Status::live;
  if (picture && show.model.hasValues()) s.ringing_band = show.sentinel.loudestRinging();
  return s;
}

}  // namespace bandscope
