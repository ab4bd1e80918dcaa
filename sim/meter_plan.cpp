// SPDX-License-Identifier: MIT
// Meter subscriptions per client and their datagram budget.
#include "meter_plan.h"

#include <algorithm>

namespace mixsim {

std::optional<int32_t> meter_subscriptions::subscribe(int32_t id, meter_items items, sim_clock::time_point now) {
  auto it = std::find_if(subs_.begin(), subs_.end(), [&](const subscription& s) { return s.id == id; });
  if (it != subs_.end()) {
    it->items = std::move(items);
    it->renewed = now;
    return std::nullopt;
  }
  std::optional<int32_t> replaced;
  if (subs_.size() >= kMaxSubscriptions) {
    replaced = subs_.front().id;
    subs_.erase(subs_.begin());
  }
  subs_.push_back({id, std::move(items), now});
  return replaced;
}

bool meter_subscriptions::renew(int32_t id, sim_clock::time_point now) {
  auto it = std::find_if(subs_.begin(), subs_.end(), [&](const subscription& s) { return s.id == id; });
  if (it == subs_.end()) return false;
  it->renewed = now;
  return true;
}

std::vector<int32_t> meter_subscriptions::lapse(sim_clock::time_point now) {
  std::vector<int32_t> gone;
  std::erase_if(subs_, [&](const subscription& s) {
    if (now - s.renewed <= kSubscriptionLife) return false;
    gone.push_back(s.id);
    return true;
  });
  return gone;
}

bool meter_budget::take(size_t size, sim_clock::time_point now) {
  if (started_) {
    const double dt = std::chrono::duration<double>(now - last_).count();
    datagrams_ = std::min(kMeterDatagramsPerSecond, datagrams_ + dt * kMeterDatagramsPerSecond);
    bytes_ = std::min(kMeterBytesPerSecond, bytes_ + dt * kMeterBytesPerSecond);
  }
  started_ = true;
  last_ = now;
  const double cost = static_cast<double>(size);
  if (datagrams_ < 1 || bytes_ < cost) return false;
  datagrams_ -= 1;
  bytes_ -= cost;
  return true;
}

}  // namespace mixsim
