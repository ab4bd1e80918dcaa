// SPDX-License-Identifier: MIT
// The entries of a container reply or of the events the library hands out: 0xD7, a node hash,
// one value token.
// Pure: bytes in, one visit per entry.
#pragma once

#include <cstdint>

#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include "link/wire.h"

namespace mixpy {

using mixlink::wire::kEntryHeader;  // 0xD7 and the 4-byte hash

// Calls visit(hash, value, width) for each entry in the length bytes of block, value pointing at
// the entry's value token and width its length, or 0 when its code is no value token (such an
// entry takes one byte after the hash, as the library's walks count it). Bytes where no entry
// starts are stepped over one at a time; an entry cut off by the end of the block ends the walk.
template <class Visit>
void walk_entries(const unsigned char* block, int length, Visit visit) {
  int p = 0;
  while (p < length) {
    if (block[p] != mixlink::kTokNodeHash) {
      ++p;
      continue;
    }
    const int rest = length - p - kEntryHeader;
    if (rest < 1) return;
    const unsigned char* value = block + p + kEntryHeader;
    const int width = wTokenLength(value, rest);
    if (width == 0 && value[0] < mixlink::kTokFirstInvalid) return;  // the token runs past the end
    visit(mixlink::wire::entry_hash(block + p), value, width);
    p += kEntryHeader + (width > 0 ? width : 1);
  }
}

}  // namespace mixpy
