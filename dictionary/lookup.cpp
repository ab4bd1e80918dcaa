// SPDX-License-Identifier: MIT
// Lookups between token, node hash and path over the generated constant tables.
#include <mixlink/dictionary.h>

#include <cstring>

#include "indexes.h"
#include "node_hash.h"

namespace {

// The token whose node hash is hash, or -1: the one slot the perfect hash gives it. Hash 0 is
// row 0's, which the index leaves out.
int64_t find_token(uint32_t hash) {
  using namespace mixlink::dict;
  if (hash == 0) return 0;
  const w_hash_token& slot = hash_slots[slot_of(hash, displacement[bucket_of(hash)])];
  return slot.hash == hash ? static_cast<int64_t>(slot.token) : -1;
}

}  // namespace

const char* wGetNameFromToken(uint32_t token) { return wingdataset[token].path; }

uint32_t wGetHashFromToken(uint32_t token) { return wingdataset[token].hash; }

const char* wGetName(uint32_t token) {
  return token >= static_cast<uint32_t>(wds_imax) ? wingdataset[0].path : wingdataset[token].path;
}

uint32_t wGetHash(uint32_t token) {
  return token >= static_cast<uint32_t>(wds_imax) ? 0u : wingdataset[token].hash;
}

int wGetType(uint32_t token) {
  return token >= static_cast<uint32_t>(wds_imax) ? -1 : wingdataset[token].type;
}

uint32_t wGetHashFromName(const char* path) {
  // A null path is treated as the empty one rather than crashing the caller.
  if (!path) return mixlink::dict::node_hash("", 0);
  return mixlink::dict::node_hash(path, static_cast<int>(std::strlen(path)));
}

uint32_t wGetTokenFromHash(uint32_t hash) {
  const int64_t t = find_token(hash);
  return t < 0 ? 0u : static_cast<uint32_t>(t);
}

const char* wGetNameFromHash(uint32_t hash) {
  // Hash 0 is row 0's own pair, so it finds "$$unknown"; only a missing hash gives no path.
  const int64_t t = find_token(hash);
  return t < 0 ? nullptr : wingdataset[t].path;
}

uint32_t wGetTokenFromName(const char* path) { return wGetTokenFromHash(wGetHashFromName(path)); }
