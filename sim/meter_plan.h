// SPDX-License-Identifier: MIT
// One client's meter subscriptions and the budget that caps the datagrams they cost. No sockets.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "outbox.h"

namespace mixsim {

// Subscriptions one client may hold; a further one replaces its oldest.
inline constexpr size_t kMaxSubscriptions = 16;
// A subscription lapses this long after its last renewal.
inline constexpr std::chrono::seconds kSubscriptionLife{10};
// Meter datagrams and bytes one client may cost per second, whatever it subscribed to and
// whatever --rate says: 16 RTA subscriptions at 20 Hz take 320 datagrams and 78 KB a second.
inline constexpr double kMeterDatagramsPerSecond = 1000;
inline constexpr double kMeterBytesPerSecond = 1 << 20;

using meter_items = std::vector<std::pair<unsigned char, unsigned char>>;

struct subscription {
  int32_t id;
  meter_items items;
  sim_clock::time_point renewed;
};

// A client's subscriptions, oldest first.
class meter_subscriptions {
 public:
  // Sets collection id to items (a known id keeps its place, a new one goes last) and counts as
  // its renewal; returns the id of the subscription it replaced to stay within
  // kMaxSubscriptions, or nothing.
  std::optional<int32_t> subscribe(int32_t id, meter_items items, sim_clock::time_point now);
  // Renews collection id; returns false when the client has no such subscription.
  bool renew(int32_t id, sim_clock::time_point now);
  // Removes the subscriptions not renewed within kSubscriptionLife; returns their ids.
  std::vector<int32_t> lapse(sim_clock::time_point now);
  const std::vector<subscription>& all() const { return subs_; }

 private:
  std::vector<subscription> subs_;
};

// A token bucket of datagrams and bytes, refilled at the per-second caps and holding at most one
// second's worth: a client's datagrams stay within the caps over any second.
class meter_budget {
 public:
  // Takes one datagram of size bytes from the budget at now; false (nothing taken) when the
  // budget cannot pay for it.
  bool take(size_t size, sim_clock::time_point now);

 private:
  double datagrams_ = kMeterDatagramsPerSecond;
  double bytes_ = kMeterBytesPerSecond;
  sim_clock::time_point last_{};
  bool started_ = false;
};

}  // namespace mixsim
