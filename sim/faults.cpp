// SPDX-License-Identifier: MIT
// Fault injection: latency, split segments, foreign traffic ahead of replies, cut-offs.
#include "faults.h"

#include <mixlink/dictionary.h>
#include <mixlink/protocol.h>

#include <algorithm>
#include <cstdint>

#include "compose.h"

namespace mixsim {

namespace {

constexpr std::chrono::milliseconds kSplitPause{5};
constexpr std::chrono::milliseconds kGarbageLead{20};

}  // namespace

fault_plan::fault_plan(const options& o, const console_model& model)
    : model_(model),
      rng_(o.seed),
      split_(o.split),
      latency_(std::chrono::milliseconds(o.latency_ms)),
      garbage_(o.garbage),
      ignore_keepalive_(o.ignore_keepalive),
      close_after_bytes_(o.close_after_bytes),
      close_after_seconds_(o.close_after_seconds) {}

std::string fault_plan::foreign_traffic() {
  std::uniform_int_distribution<int> pick(1, wds_imax - 1);
  if (rng_() % 2 == 0) {
    std::string junk;
    const int n = 3 + static_cast<int>(rng_() % 6);
    for (int i = 0; i < n; ++i) junk.push_back(static_cast<char>(1 + rng_() % 0x3F));
    return junk;
  }
  for (;;) {
    const uint32_t t = static_cast<uint32_t>(pick(rng_));
    if (wingdataset[t].type >= W_INTEGER) return compose_entry(model_, t);
  }
}

void fault_plan::queue(out_queue& q, std::shared_ptr<const std::string> framed, bool reply, sim_clock::time_point now) {
  sim_clock::time_point due = now + latency_;
  if (!q.empty()) due = std::max(due, q.back_due());
  if (reply && garbage_) {
    auto junk = std::make_shared<const std::string>(frame_for_send(foreign_traffic()));
    q.push(due, junk, 0, junk->size());
    due += kGarbageLead;
  }
  const size_t size = framed->size();
  if (split_ <= 0) {
    q.push(due, std::move(framed), 0, size);
    return;
  }
  for (size_t at = 0; at < size; at += static_cast<size_t>(split_)) {
    q.push(due, framed, at, std::min(size, at + static_cast<size_t>(split_)));
    due += kSplitPause;
  }
}

size_t fault_plan::send_allowance(long long sent) const {
  if (close_after_bytes_ <= 0) return SIZE_MAX;
  return sent >= close_after_bytes_ ? 0 : static_cast<size_t>(close_after_bytes_ - sent);
}

std::optional<sim_clock::time_point> fault_plan::close_deadline(sim_clock::time_point connected) const {
  if (close_after_seconds_ <= 0) return std::nullopt;
  return connected + std::chrono::duration_cast<sim_clock::duration>(std::chrono::duration<double>(close_after_seconds_));
}

bool fault_plan::ignores(uint32_t hash) const { return ignore_keepalive_ && hash == mixlink::kKeepAliveHash; }

}  // namespace mixsim
