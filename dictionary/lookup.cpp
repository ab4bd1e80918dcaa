// Lookups between token, node hash and path over the generated constant tables.
#include <mixlink/dictionary.h>

#include <cstring>

#include "node_hash.h"

namespace {

// Search of the hash-ordered table: the index of the pair carrying hash, or -1.
// Node hashes are spread evenly over 32 bits, so a guess by proportion lands within a few dozen
// rows of the pair; the binary search then runs over a window around the guess, whose probes share
// a few cache lines, instead of over the whole table (16 probes, most of them cache misses). A
// guess whose window misses the hash leaves the whole table to the binary search.
// Signed bounds so that an empty range ends the loop.
int find_pair(uint32_t hash) {
  constexpr int kWindow = 128;
  int lo = 0;
  int hi = wrds_imax - 1;
  const int guess = static_cast<int>((uint64_t{hash} * static_cast<uint64_t>(wrds_imax)) >> 32);
  const int w_lo = guess > kWindow ? guess - kWindow : 0;
  const int w_hi = guess + kWindow < wrds_imax - 1 ? guess + kWindow : wrds_imax - 1;
  if (wingordereddataset[w_lo].hash <= hash && hash <= wingordereddataset[w_hi].hash) {
    lo = w_lo;
    hi = w_hi;
  }
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    uint32_t probe = wingordereddataset[mid].hash;
    if (probe < hash)
      lo = mid + 1;
    else if (probe > hash)
      hi = mid - 1;
    else
      return mid;
  }
  return -1;
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
  int i = find_pair(hash);
  return i < 0 ? 0u : wingordereddataset[i].token;
}

const char* wGetNameFromHash(uint32_t hash) {
  // Hash 0 is row 0's own pair, so it finds "$$unknown"; only a missing hash gives no path.
  int i = find_pair(hash);
  return i < 0 ? nullptr : wingdataset[wingordereddataset[i].token].path;
}

uint32_t wGetTokenFromName(const char* path) { return wGetTokenFromHash(wGetHashFromName(path)); }
