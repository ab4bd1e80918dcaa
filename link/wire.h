// SPDX-License-Identifier: MIT
// The byte-level rules every message on the wire is built from: numbers are big-endian, an entry
// opens with 0xD7 and a 4-byte node hash, and a request is that header followed by its code.
// Internal to the library (and to its tests and fuzzers); the one place these rules are written.
#pragma once

#include <cstdint>

#include <mixlink/protocol.h>

namespace mixlink::wire {

inline uint32_t get_be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline uint32_t get_be16(const unsigned char* p) { return (uint32_t{p[0]} << 8) | uint32_t{p[1]}; }

inline void put_be32(unsigned char* out, uint32_t v) {
  out[0] = static_cast<unsigned char>(v >> 24);
  out[1] = static_cast<unsigned char>(v >> 16);
  out[2] = static_cast<unsigned char>(v >> 8);
  out[3] = static_cast<unsigned char>(v);
}

inline void put_be16(unsigned char* out, uint32_t v) {
  out[0] = static_cast<unsigned char>(v >> 8);
  out[1] = static_cast<unsigned char>(v);
}

// 0xD7 and the node hash: the head of every request, reply entry and event.
inline constexpr int kEntryHeader = 5;

// Writes the entry header for hash into out (kEntryHeader bytes).
inline void put_entry_header(unsigned char* out, uint32_t hash) {
  out[0] = kTokNodeHash;
  put_be32(out + 1, hash);
}

// The node hash of the entry whose header starts at p.
inline uint32_t entry_hash(const unsigned char* p) { return get_be32(p + 1); }

// A value or definition request: the entry header and the request code.
inline constexpr int kRequestLength = kEntryHeader + 1;
// Room a request needs in wSend's buffer: every byte may grow by one escape.
inline constexpr int kRequestRoom = 2 * kRequestLength;

// Writes the request for hash with code (kReqValue or kReqDefinition) into out; returns its length.
inline int put_request(unsigned char* out, uint32_t hash, unsigned char code) {
  put_entry_header(out, hash);
  out[kEntryHeader] = code;
  return kRequestLength;
}

}  // namespace mixlink::wire
