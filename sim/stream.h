// SPDX-License-Identifier: MIT
// mixsim's side of the client stream: splitting the framed TCP bytes by channel and parsing the
// requests of channels 1 and 3. Pure code over byte buffers; no sockets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <mixlink/link.h>
#include <mixlink/protocol.h>

namespace mixsim {

// One complete request found in a client's stream.
struct sim_request {
  enum kind_t {
    value,        // channel 1: 0xD7 hash 0xDC
    definition,   // channel 1: 0xD7 hash 0xDD
    map_size,     // channel 1: 0xDA 0xDC
    meter_port,   // channel 3: 0xD3 port(2, big-endian)
    subscribe,    // channel 3: 0xD4 id(4) 0xDC {group, items...} 0xDE, then data 0xDF 0xD1
    renew,        // channel 3: 0xD4 id(4), then data 0xDF 0xD1
  };
  kind_t kind = value;
  uint32_t hash = 0;              // value, definition
  int port = 0;                   // meter_port
  int32_t id = 0;                 // subscribe, renew
  // subscribe: (group code, item) pairs in the order they were listed.
  std::vector<std::pair<unsigned char, unsigned char>> items;
};

// Per-client decoder state: carried across reads, since TCP may split any sequence. Its base is
// the library's escape state (channel and pending escape); a fresh connection starts on channel 1.
struct client_stream : w_escape_state {
  client_stream() : w_escape_state{mixlink::kValueChannel, 0} {}
  std::string pending[2];     // decoded bytes of channels 1 and 3 not yet forming a request
  long dropped = 0;           // decoded bytes that formed no request (other channels, junk)
  // pending[1] holds no list end (0xDE) from its seventh byte up to this offset: a subscription
  // list that arrives a little at a time is searched once, not again with every byte or channel
  // select that follows.
  size_t list_searched = 0;
};

// Largest run of undecided bytes kept per channel; a client that exceeds it loses that run.
inline constexpr size_t kMaxPendingBytes = 4096;

// Feeds length bytes read from a client into state and appends every request they complete to
// out, in stream order; returns the number of requests appended (0 or more). Never fails: bytes
// that form no request are counted in state.dropped and skipped. Safe for any input.
int sim_feed(client_stream& state, const unsigned char* data, int length, std::vector<sim_request>& out);

}  // namespace mixsim
