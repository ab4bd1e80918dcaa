// SPDX-License-Identifier: MIT
// The receive stream of one connection, the pure part: the decoded bytes no read has taken yet,
// the escape state carried from block to block, and the replies still owed to reads that gave up.
// No socket is touched here (stream.h adds the receiving); tests and fuzzers feed it directly.
#pragma once

#include <cstdint>

#include <mixlink/link.h>

namespace mixlink::detail {

// Un-escapes in[0, length) into out as the block decoder does (each select byte written where the
// channel switched), but carries *state across calls. out may be in - state->escape_pending or
// any address further back; it needs room for length + 1 bytes. Returns the bytes written.
int decode_escapes(w_escape_state* state, const unsigned char* in, int length, unsigned char* out);

// Hashes of requests whose reply no read took (a read that gave up, the keep-alive): when such a
// reply turns up later, a read that meets it knows it for a late answer, not for another node's
// reply. Each mark holds until its own moment on the monotonic clock (the abandoned read's
// time-out after it gave up); a reply later than that is taken for what it looks like. Only the
// marks of the link's own requests (the keep-alive) are ever passed over by the event walk: a
// read that gave up never costs an event. A few marks are enough; the oldest goes first.
class owed_replies {
 public:
  // own: a request no caller made (the keep-alive), whose reply the event walk passes over too.
  void add(uint32_t hash, int64_t until_us, bool own = false);
  // Forgets one mark of hash; returns whether there was one.
  bool take(uint32_t hash);
  // Forgets one mark of hash that stands for the link's own request; returns whether there was one.
  bool take_own(uint32_t hash);
  // Forgets the marks whose moment is before now_us.
  void expire(int64_t now_us);
  void clear() { count_ = 0; }

 private:
  struct mark {
    uint32_t hash;
    int64_t until_us;
    bool own;
  };
  bool take_where(uint32_t hash, bool own_only);
  static constexpr int kCapacity = 16;
  mark marks_[kCapacity] = {};
  int count_ = 0;
};

class rx_stream {
 public:
  rx_stream() = default;
  ~rx_stream();
  rx_stream(const rx_stream&) = delete;
  rx_stream& operator=(const rx_stream&) = delete;

  // The decoded bytes not yet consumed, oldest first.
  const unsigned char* data() const { return buf_ + head_; }
  int size() const { return tail_ - head_; }
  // Takes the first n of them out of the stream.
  void consume(int n);
  // Takes the n bytes at position at out of the stream; the bytes in front of them move up, so
  // positions from at + n on become positions from at on.
  void erase(int at, int n);

  // Room for at least want raw bytes behind the decoded ones; returns where they go and stores the
  // room there is in *room, or returns null when memory runs out. The escape state must not change
  // between this and decode_raw.
  unsigned char* raw_room(int want, int* room);
  // Decodes the n raw bytes just placed at raw_room's pointer onto the end of the stream, following
  // and updating *channel; returns the decoded bytes added.
  int decode_raw(int n, int* channel);
  // raw_room and decode_raw for bytes held elsewhere; returns the decoded bytes added, or -9 when
  // memory runs out.
  int feed(const unsigned char* raw, int n, int* channel);

  // Where the received blocks end among the bytes not yet consumed: ascending offsets from data(),
  // the last one size(). A reply that runs to the end of its block (a definition) ends at one of
  // them. When more blocks are held than there is room to remember, the newest ones merge.
  const int* block_ends() const { return ends_; }
  int block_end_count() const { return end_count_; }

  bool escape_pending() const { return escape_.escape_pending != 0; }
  owed_replies& owed() { return owed_; }

  // A new connection: no bytes, no escape in progress, nothing owed. Memory beyond what a container
  // read of everyday size needs is given back.
  void reset();

 private:
  unsigned char* buf_ = nullptr;
  int capacity_ = 0;
  int head_ = 0;
  int tail_ = 0;
  static constexpr int kEndsKept = 64;
  int ends_[kEndsKept] = {};
  int end_count_ = 0;
  w_escape_state escape_{0, 0};  // the channel is the caller's; only the pending escape lives here
  owed_replies owed_;
};

}  // namespace mixlink::detail
