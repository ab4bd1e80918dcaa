// SPDX-License-Identifier: MIT
// mixsim's fault injection (--split, --latency, --garbage, --close-after-*, --ignore-keepalive):
// how each outgoing message is laid into a client's queue and when a client is cut off. No
// sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "model.h"
#include "options.h"
#include "outbox.h"

namespace mixsim {

class fault_plan {
 public:
  fault_plan(const options& o, const console_model& model);

  // Queues the framed bytes of one message: after the configured latency and never ahead of what
  // is queued already, in --split segments 5 ms apart, and for a reply (reply true) under
  // --garbage behind junk or another leaf's entry that goes 20 ms earlier.
  void queue(out_queue& q, std::shared_ptr<const std::string> framed, bool reply, sim_clock::time_point now);

  // True when each send should carry one queued segment only, so that --split segments reach the
  // wire as separate sends.
  bool one_segment_per_send() const { return split_ > 0; }

  // The bytes a client that has been sent sent bytes may still be sent (--close-after-bytes), or
  // SIZE_MAX without that option.
  size_t send_allowance(long long sent) const;
  // True when a client that has been sent sent bytes is to be closed now.
  bool sent_enough(long long sent) const { return close_after_bytes_ > 0 && sent >= close_after_bytes_; }

  // When a client that connected at connected is to be closed (--close-after-seconds), if ever.
  std::optional<sim_clock::time_point> close_deadline(sim_clock::time_point connected) const;

  // True when a value request for hash goes unanswered (--ignore-keepalive: the keep-alive node).
  bool ignores(uint32_t hash) const;

 private:
  // Bytes that begin no reply, or another leaf's entry: a client waiting for its own reply must
  // pass over both.
  std::string foreign_traffic();

  const console_model& model_;
  std::mt19937 rng_;
  int split_;
  sim_clock::duration latency_;
  bool garbage_;
  bool ignore_keepalive_;
  long long close_after_bytes_;
  double close_after_seconds_;
};

}  // namespace mixsim
