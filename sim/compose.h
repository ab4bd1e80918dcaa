// SPDX-License-Identifier: MIT
// The simulated console's outgoing messages, composed as plain bytes (before framing). No sockets.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <mixlink/protocol.h>

#include "model.h"

namespace mixsim {

// The byte that ends a container reply, after its last entry (the client never reads it as an
// entry; 0xDE also ends a meter list).
inline constexpr unsigned char kContainerReplyEnd = 0xDE;

// Returns the reply to a value request for hash: 0xD7 hash value for a leaf; for a container one
// such entry per leaf below it in dictionary order, then kContainerReplyEnd; empty for a hash the
// dictionary lacks (no reply is sent).
std::string compose_value_reply(const console_model& model, uint32_t hash);

// Returns the entry 0xD7 hash value for one leaf token (an event group), empty for a container.
std::string compose_entry(const console_model& model, uint32_t token);

// Returns the definition reply for hash, or empty for an unknown hash. Short form (long_form
// false): 0xDF, definition length (2 bytes, never 0), parent hash (4), node hash (4), definition.
// Long form: 0xDF, 0x00 0x00, definition length (4), parent hash (4), node hash (4), definition.
// All numbers big-endian; the parent hash of a top-level node is 0.
std::string compose_definition_reply(const console_model& model, uint32_t hash, bool long_form);

// Returns the reply to the map-size query: 0xDA, then the row count and the leaf count of the
// node dictionary as 32-bit integer tokens (0xD4), 11 bytes.
std::string compose_map_size_reply();

// Identity texts of the discovery reply.
struct identity {
  std::string name = "Sim Console";
  std::string model = "SIM-48";
  std::string serial = "S0000001";
  std::string firmware = "0.1.0-sim";
};

// Returns the discovery reply "WING,<ip>,<name>,<model>,<serial>,<firmware>" for the address
// the requester reached us at (dotted text).
std::string compose_discovery_reply(const std::string& ip, const identity& id);

// True when a discovery datagram of length bytes is the probe "WING?".
bool is_discovery_probe(const unsigned char* data, int length);

// Number of RTA bands and the size of one RTA datagram (4-byte header, 120 16-bit values).
inline constexpr int kRtaBands = mixlink::kRtaValues;
inline constexpr int kMeterHeader = mixlink::kRtaHeaderBytes;
inline constexpr int kRtaDatagram = kMeterHeader + 2 * kRtaBands;

// A moving RTA spectrum: a pink-noise floor that fluctuates, three tonal peaks drifting across
// the bands, a low-end roll-off that reaches the bottom of the scale, and now and then one band
// above the top of it.
class rta_generator {
 public:
  explicit rta_generator(unsigned seed = 1) : rng_(seed) {}
  // Lets band build up as a feedback loop does, in every period of kFeedbackCycle seconds:
  // from kFeedbackStart on its value climbs growth meter units a second above what it would be,
  // up to full scale, where it rings until kFeedbackEnd; then it is gone until the next period.
  void set_feedback(int band, double growth) { feedback_band_ = band; feedback_growth_ = growth; }
  // Fills out with the band values at time t (seconds).
  void frame(double t, int16_t out[kRtaBands]);

  static constexpr double kFeedbackCycle = 20.0;
  static constexpr double kFeedbackStart = 5.0;
  static constexpr double kFeedbackEnd = 15.0;

 private:
  std::mt19937 rng_;
  int feedback_band_ = -1;
  double feedback_growth_ = 0;
  int hot_band_ = -1;
  double hot_until_ = -1.0;
  double next_hot_ = 2.0;
};

// How meter datagrams are deformed, for client tests.
enum class meter_shape { normal, short_datagram, long_datagram };

// Size in bytes of a short datagram (cut inside the RTA values) and the bytes a long one adds.
inline constexpr int kShortMeterDatagram = 100;
inline constexpr int kLongMeterExtra = 76;

// Returns one meter datagram for collection id and its subscribed (group, item) pairs: the id as
// the 4-byte big-endian header, then per item in subscription order 120 band values for the RTA
// (group 0xAA, item 0) or four 16-bit levels for any other item, all signed 16-bit big-endian.
// The shape cuts it to kShortMeterDatagram bytes or adds kLongMeterExtra bytes of levels.
std::string compose_meter_datagram(int32_t id, const std::vector<std::pair<unsigned char, unsigned char>>& items,
                                   const int16_t rta[kRtaBands], double t, meter_shape shape);

// Returns bytes as spaced hex text ("df 00 0a", wFormatHex) for the log.
std::string hex_of(const std::string& bytes);

// Frames bytes for the TCP stream (escapes in place, as every console send); returns the framed
// bytes.
std::string frame_for_send(const std::string& bytes);

}  // namespace mixsim
