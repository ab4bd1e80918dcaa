// Lookups between token, node hash and path over the generated constant tables.
#include <mixlink/dictionary.h>

#include <cstring>

#include "node_hash.h"

namespace {

// Binary search of the hash-ordered table; returns the token or 0 when no row carries hash.
uint32_t find_token(uint32_t hash) {
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
      return wingordereddataset[mid].token;
  }
  return 0;
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

uint32_t wGetTokenFromHash(uint32_t hash) { return find_token(hash); }

const char* wGetNameFromHash(uint32_t hash) {
  // Hash 0 is row 0's own pair, so it finds "$$unknown"; only a missing hash gives no path.
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
      return wingdataset[wingordereddataset[mid].token].path;
  }
  return nullptr;
}

uint32_t wGetTokenFromName(const char* path) { return find_token(wGetHashFromName(path)); }
