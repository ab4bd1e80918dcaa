// SPDX-License-Identifier: MIT
// Reassembly: finding whole replies and events in the decoded bytes of the receive stream,
// however the network cut them. Pure functions over (bytes, length), fed by the reads in
// values/ and nodes/ and directly by the tests and the fuzzer. Each one reports how many bytes at
// the front the read is done with; bytes after what it took stay for the next read, and an entry
// cut by the end of the bytes is waited for, never taken or dropped.
#pragma once

#include <cstdint>

#include <mixlink/values.h>

#include "link/rx_stream.h"

namespace mixlink::values {

// The next entry (0xD7, hash, value token) at or after from: where it starts and its size, or
// size 0 when the bytes run out first (at: the start of a cut entry, or n), or size -1 when 0xD7
// and a hash are followed by a code that is no value token (no entry, unless a read knows it).
struct entry_scan {
  int at;
  int size;
};
entry_scan next_entry(const unsigned char* buf, int n, int from);

// The header of the definition reply at p: 0xDF, then where bytes 1 and 2 are not both zero the
// node hash in bytes 7 to 10 (11 bytes), else the node hash in bytes 11 to 14 (15 bytes). Returns
// its size with *hash set, and in *announced what the header's count field holds (bytes 1 and 2,
// or 3 to 6 in the long form: a hint, never trusted on its own), or 0 when fewer bytes have
// arrived than it needs.
int definition_header(const unsigned char* p, int n, uint32_t* hash, uint32_t* announced);

// What a value read for hash finds at the front of the stream.
struct value_find {
  enum kind_t {
    more,      // not there yet
    reply,     // the reply: the entry at `at`, `size` bytes
    no_value,  // the reply, with a code that is no value token
    other,     // another node's entry, which ends a raw read
  } kind;
  int used;  // bytes the read is done with (reply and other: through that entry)
  int at;
  int size;
};
// Passes over bytes that start no entry, replies still owed to earlier reads (taking their marks)
// and, unless end_on_other, every other node's entry.
value_find find_value_reply(const unsigned char* buf, int n, uint32_t hash, bool end_on_other,
                            detail::owed_replies* owed);

// Finds the definition reply for hash among n bytes whose received blocks end at ends[0..count)
// (ascending offsets; n counts as one). Returns its position with *header and *length set, -1
// when its header is not whole yet, or kDefinitionPending when its header's count announces
// more bytes than have come and the caller has not settled; *used gets the bytes in front of it
// that can go (everything before the first 0xDF whose header is not yet whole).
//
// The count is a hint only. Where it ends exactly at a block end, or in front of whole replies
// that fill the rest of its block, it is the definition's length: so two replies that arrived
// together are told apart, and a reply the network cut is joined. Otherwise the definition runs
// to the end of the block in which its header became whole. A caller that settles (settled: no
// further block came soon enough) gets that answer for a count that announces more than came;
// nothing ever waits for the count as such.
inline constexpr int kDefinitionPending = -2;
int find_definition_reply(const unsigned char* buf, int n, const int* ends, int count, uint32_t hash, bool settled,
                          int* header, int* length, int* used);

// Finds the first entry of a reply, the one for first_hash: returns its position, or -1 when it is
// not whole yet; *used gets the bytes in front that can go (stray bytes, events, other replies,
// taking the marks of owed ones).
int find_reply_start(const unsigned char* buf, int n, uint32_t first_hash, detail::owed_replies* owed, int* used);

// Why an event walk stopped.
enum class walk_end {
  bytes,      // every byte walked (or no event starts in the rest)
  records,    // all the records given are filled
  cut,        // an event is cut by the end of the bytes
  bad_value,  // a known node's event whose code is no value token stands at *used
  no_memory,  // a text could not be allocated for the event at *used
};
// Takes one event found by walk_event_entries: the whole entry (0xD7, hash, value token) at entry,
// size bytes, of dictionary row token. Returns 1 taken, 0 no room for it, -9 out of memory; on 0
// and -9 the walk stops in front of that event (walk_end::records, walk_end::no_memory).
using event_sink = int (*)(void* context, const unsigned char* entry, int size, uint32_t token);

// The one event walk: hands at most max events to sink, passing bytes that start no event one at a
// time, and events of nodes the dictionary lacks and (when owed is given) the answers to the
// link's own requests whole. Every other entry of a known node is an event, a late reply included.
// Returns the events taken; *used gets the bytes walked (the stopping event not included).
int walk_event_entries(const unsigned char* buf, int n, int max, detail::owed_replies* owed, event_sink sink,
                       void* context, int* used, walk_end* end);

// walk_event_entries decoding each event into the next of at most max records (wParseToTV).
int walk_events(const unsigned char* buf, int n, w_token_value* records, int max, detail::owed_replies* owed,
                int* used, walk_end* end);

}  // namespace mixlink::values
