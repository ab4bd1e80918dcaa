// SPDX-License-Identifier: MIT
// What mixsim has for one client and the kernel has not taken yet: the bytes in order, and the
// events held back while the client does not keep up. No sockets.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace mixsim {

using sim_clock = std::chrono::steady_clock;

// Bytes waiting to go to one client, as runs that each carry the time they may go. Runs share
// their buffers: a cached container reply queued forty times is held once.
class out_queue {
 public:
  // Memory charged per run besides its bytes: its record and the small buffer a short reply has.
  static constexpr size_t kRunCharge = 128;

  // One piece of a due run, for a gathering send.
  struct chunk {
    const char* data;
    size_t size;
  };

  // Appends bytes [begin, end) of buffer, to go no earlier than due; an empty range adds nothing.
  void push(sim_clock::time_point due, std::shared_ptr<const std::string> buffer, size_t begin, size_t end);

  bool empty() const { return runs_.empty(); }
  // The time the first (last) run may go; the queue must not be empty.
  sim_clock::time_point front_due() const { return runs_.front().due; }
  sim_clock::time_point back_due() const { return runs_.back().due; }

  // The memory the queue stands for: the bytes not yet sent plus kRunCharge per run.
  size_t charge() const { return bytes_ + runs_.size() * kRunCharge; }

  // Fills out with up to max chunks of the runs due at now, in order and at most limit bytes in
  // all (the last chunk cut to fit); returns the number filled.
  int due_chunks(sim_clock::time_point now, chunk* out, int max, size_t limit) const;

  // Forgets the first n bytes, which a send has taken (n at most the bytes queued).
  void consume(size_t n);

 private:
  struct run {
    sim_clock::time_point due;
    std::shared_ptr<const std::string> buffer;
    size_t begin, end;
  };
  std::deque<run> runs_;
  size_t bytes_ = 0;
};

// The nodes whose change a client has not been sent because it was not keeping up. Only which
// nodes are kept: when the client catches up it gets each one's latest value once, however many
// changes it missed, so a client that never reads costs a set of tokens and nothing more.
class held_events {
 public:
  // Adds tokens to the held set (each token once).
  void hold(const std::vector<uint32_t>& tokens);
  bool empty() const { return tokens_.empty(); }
  // Returns the held tokens together with more (each once, ascending) and empties the set.
  std::vector<uint32_t> release(const std::vector<uint32_t>& more);

 private:
  std::vector<uint32_t> tokens_;  // ascending, no repeats
};

}  // namespace mixsim
