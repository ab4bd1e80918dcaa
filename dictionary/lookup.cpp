// Lookups between token, node hash and path over the generated constant tables.
#include <mixlink/dictionary.h>

#include <cstring>

#include "node_hash.h"

namespace {

// Binary search of the hash-ordered table: the index of the pair carrying hash, or -1.
// Signed bounds so that an empty range ends the loop; 38,517 pairs take at most 16 probes.
int find_pair(uint32_t hash) {
  int lo = 0;
  int hi = wrds_imax - 1;
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
