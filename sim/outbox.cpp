// SPDX-License-Identifier: MIT
// A client's output queue and held events.
#include "outbox.h"

#include <algorithm>

namespace mixsim {

void out_queue::push(sim_clock::time_point due, std::shared_ptr<const std::string> buffer, size_t begin, size_t end) {
  if (buffer == nullptr || end <= begin) return;
  bytes_ += end - begin;
  runs_.push_back({due, std::move(buffer), begin, end});
}

int out_queue::due_chunks(sim_clock::time_point now, chunk* out, int max, size_t limit) const {
  int n = 0;
  for (const run& r : runs_) {
    if (n >= max || limit == 0 || r.due > now) break;
    const size_t size = std::min(r.end - r.begin, limit);
    out[n++] = {r.buffer->data() + r.begin, size};
    limit -= size;
  }
  return n;
}

void out_queue::consume(size_t n) {
  while (n > 0 && !runs_.empty()) {
    run& r = runs_.front();
    const size_t take = std::min(n, r.end - r.begin);
    r.begin += take;
    bytes_ -= take;
    n -= take;
    if (r.begin == r.end) runs_.pop_front();
  }
}

void held_events::hold(const std::vector<uint32_t>& tokens) {
  for (uint32_t t : tokens) {
    const auto at = std::lower_bound(tokens_.begin(), tokens_.end(), t);
    if (at == tokens_.end() || *at != t) tokens_.insert(at, t);
  }
}

std::vector<uint32_t> held_events::release(const std::vector<uint32_t>& more) {
  hold(more);
  std::vector<uint32_t> all;
  all.swap(tokens_);
  return all;
}

}  // namespace mixsim
