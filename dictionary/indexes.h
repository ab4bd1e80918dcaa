// SPDX-License-Identifier: MIT
// Indexes over the node tables, written by the table generator with the tables: the hash index,
// the subtree shape of every row and the dump names of neighbouring leaves.
#pragma once

#include <mixlink/dictionary.h>

#include <cstdint>

namespace mixlink::dict {

// A perfect hash of the rows' node hashes, found by the generator (hash and displace): the row
// of node hash h != 0 has its pair in slot slot_of(h, displacement[bucket_of(h)]), and no other
// row's pair is there. A lookup is two reads without a loop: the displacement (16 KiB, stays in
// cache) and the slot; a hash that is no row's finds another hash or an empty slot (hash 0,
// which only row 0 carries, so row 0 stays out of the index).
inline constexpr int kBucketBits = 13;        // 8,192 buckets of about 4.7 hashes
inline constexpr int kBuckets = 1 << kBucketBits;
inline constexpr uint32_t kSlots = 40960;     // for 38,516 hashes: 320 KiB of pairs

constexpr uint32_t bucket_of(uint32_t hash) { return hash >> (32 - kBucketBits); }

constexpr uint32_t slot_of(uint32_t hash, uint16_t displacement) {
  uint32_t x = hash ^ (displacement * 0x9E3779B9u);
  x *= 0x85EBCA6Bu;
  x ^= x >> 13;
  x *= 0xC2B2AE35u;
  return static_cast<uint32_t>((uint64_t{x} * kSlots) >> 32);
}

extern const uint16_t displacement[kBuckets];
extern const w_hash_token hash_slots[kSlots];

// The first row after row t's subtree (t + 1 for a leaf, wds_imax at the end of the table).
extern const uint16_t subtree_end[wds_imax];
// How a dump names leaf t right after the leaf before it in the table (see relative_name.h):
// that many dots, then the path from offset rest; the path's length and its number of ".".
struct name_step {
  uint8_t dots, rest, length, depth;
};
extern const name_step leaf_name_step[wds_imax];
// The leaves in rows 0 to t - 1, so rows [a, b) hold leaves_before[b] - leaves_before[a].
extern const uint16_t leaves_before[wds_imax + 1];

}  // namespace mixlink::dict
