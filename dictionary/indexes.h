// Indexes over the node tables, written by the table generator with the tables: the hash index
// and the subtree shape of every row.
#pragma once

#include <mixlink/dictionary.h>

#include <cstdint>

namespace mixlink::dict {

// The row of node hash h != 0 has its pair in slot s, where s is the slot of h's top 16 bits or
// the first free slot after it (linear probing; no wrap, the table runs on past the last home
// slot instead). A free slot holds hash 0, which only row 0 carries, so row 0 stays out of the
// index. 2^16 slots for 38,516 hashes keep the load near 0.6: a lookup reads one or two
// neighbouring slots of one cache line as a rule.
inline constexpr int kSlotBits = 16;
inline constexpr int kSlots = (1 << kSlotBits) + 64;  // the generator checks that the run-on suffices

constexpr uint32_t home_slot(uint32_t hash) { return hash >> (32 - kSlotBits); }

extern const w_hash_token hash_slots[kSlots];

// The first row after row t's subtree (t + 1 for a leaf, wds_imax at the end of the table).
extern const uint16_t subtree_end[wds_imax];
// How a dump names leaf t right after the leaf before it in the table (see nodes/dump_name.h):
// that many dots, then the path from offset rest; the path's length and its number of ".".
struct name_step {
  uint8_t dots, rest, length, depth;
};
extern const name_step leaf_name_step[wds_imax];
// The leaves in rows 0 to t - 1, so rows [a, b) hold leaves_before[b] - leaves_before[a].
extern const uint16_t leaves_before[wds_imax + 1];

}  // namespace mixlink::dict
