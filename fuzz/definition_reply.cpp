// SPDX-License-Identifier: MIT
// The definition-reply parse: whichever header a block claims, the definition handed back lies
// inside the block, and only a block naming the asked-for node is taken.
// Input: the asked-for hash (4 bytes, big-endian), then the block.
#include <mixlink/values.h>

#include "fuzz_support.h"
#include "link/wire.h"

using mixlink::wire::get_be32;

using mixfuzz::ExactBuffer;

namespace {

void check(const unsigned char* block, int length, uint32_t hash) {
  const unsigned char* def = nullptr;
  int def_length = -1;
  const int r = wParseDefinitionReply(block, length, hash, &def, &def_length);
  FUZZ_CHECK(r == 0 || r == 1);
  if (r == 0) {
    FUZZ_CHECK(def == nullptr && def_length == -1);
    return;
  }
  FUZZ_CHECK(length > 0 && block[0] == 0xDF);
  FUZZ_CHECK(def >= block && def_length >= 0 && def + def_length == block + length);
  // Reading the whole definition stays within the block (AddressSanitizer watches).
  unsigned sum = 0;
  for (int i = 0; i < def_length; ++i) sum += def[i];
  (void)sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > mixfuzz::kMaxInput) return 0;
  ExactBuffer block(data + 4, size - 4);
  const int length = block.size();
  check(block.data(), length, get_be32(data));
  // The hash where each header layout carries it, so the accepting paths are reached too.
  if (length >= 11) check(block.data(), length, get_be32(block.data() + 7));
  if (length >= 15) check(block.data(), length, get_be32(block.data() + 11));
  return 0;
}
