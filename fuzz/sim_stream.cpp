// SPDX-License-Identifier: MIT
// mixsim's decoding of a client's stream: the decoder keeps its state between reads, so every
// way of cutting the same bytes must give the same requests, the same count of dropped bytes and
// the same state, and the undecided bytes it keeps stay bounded.
#include "stream.h"

#include <string>

#include "fuzz_support.h"

using mixsim::client_stream;
using mixsim::sim_request;

namespace {

struct Outcome {
  std::vector<sim_request> requests;
  client_stream state;
};

bool same_request(const sim_request& a, const sim_request& b) {
  return a.kind == b.kind && a.hash == b.hash && a.port == b.port && a.id == b.id && a.items == b.items;
}

Outcome feed(const std::vector<size_t>& plan, const uint8_t* body) {
  Outcome o;
  size_t at = 0;
  for (size_t piece : plan) {
    mixfuzz::ExactBuffer chunk(body + at, piece);
    const size_t before = o.requests.size();
    const int added = mixsim::sim_feed(o.state, chunk.data(), chunk.size(), o.requests);
    FUZZ_CHECK(added >= 0 && static_cast<size_t>(added) == o.requests.size() - before);
    for (const std::string& p : o.state.pending) FUZZ_CHECK(p.size() <= mixsim::kMaxPendingBytes);
    // What the list-end search skips next time holds no list end.
    const std::string& meter = o.state.pending[1];
    FUZZ_CHECK(o.state.list_searched <= meter.size());
    for (size_t i = 6; i < o.state.list_searched; ++i) FUZZ_CHECK(static_cast<unsigned char>(meter[i]) != 0xDE);
    at += piece;
  }
  return o;
}

void check_same(const Outcome& a, const Outcome& b) {
  FUZZ_CHECK(a.requests.size() == b.requests.size());
  for (size_t i = 0; i < a.requests.size(); ++i) FUZZ_CHECK(same_request(a.requests[i], b.requests[i]));
  FUZZ_CHECK(a.state.dropped == b.state.dropped);
  FUZZ_CHECK(a.state.channel == b.state.channel);
  FUZZ_CHECK(a.state.escape_pending == b.state.escape_pending);
  FUZZ_CHECK(a.state.pending[0] == b.state.pending[0] && a.state.pending[1] == b.state.pending[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 8192) return 0;
  const uint8_t* body = data + 1;
  const size_t len = size - 1;
  const Outcome whole = feed({len}, body);
  check_same(whole, feed(mixfuzz::feeding_plan(data[0], len), body));
  check_same(whole, feed(std::vector<size_t>(len, 1), body));
  for (const sim_request& r : whole.requests) {
    FUZZ_CHECK(r.kind >= sim_request::value && r.kind <= sim_request::renew);
    FUZZ_CHECK(r.port >= 0 && r.port <= 0xFFFF);
  }
  return 0;
}
