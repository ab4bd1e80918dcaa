// SPDX-License-Identifier: MIT
// Channel framing: the escape codec applied to every TCP send and receive.
//
// Both directions scan for the escape byte with memchr and move the plain runs between escapes in
// bulk; a container dump is ~100 KB with few escapes, so nearly all bytes take the bulk path.
#include <mixlink/link.h>
#include <mixlink/protocol.h>

#include <cstring>

#include "rx_stream.h"

using namespace mixlink;

int ch_id_tx = 0;
int ch_id_rx = 1;

namespace {

bool is_escapable(unsigned char b) { return b >= kSelectFirst && b <= kEscapedEscape; }

bool is_select(unsigned char b) { return b >= kSelectFirst && b <= kSelectLast; }

// True when an 0xDE must follow the 0xDF at i: the run of 0xDF ends there and is followed by a
// byte that the receiver would otherwise take for a select or an escaped escape, or by the end.
bool needs_guard(const unsigned char* buf, int i, int length) {
  if (buf[i] != kEscape) return false;
  if (i + 1 == length) return true;
  return buf[i + 1] != kEscape && is_escapable(buf[i + 1]);
}

// Position of the first escape byte in buf[from, length), or length when there is none.
int next_escape(const unsigned char* buf, int from, int length) {
  const void* hit = std::memchr(buf + from, kEscape, static_cast<size_t>(length - from));
  return hit ? static_cast<int>(static_cast<const unsigned char*>(hit) - buf) : length;
}

// Position of the last escape byte in buf[0, end); there must be one. (A plain loop: the search
// from the back that some C libraries offer is not standard.)
int last_escape(const unsigned char* buf, int end) {
  int i = end - 1;
  while (buf[i] != kEscape) --i;
  return i;
}

}  // namespace

int wSendEscapes(unsigned char* buf, int length) {
  if (length <= 0) return 0;
  int inserts = 0;
  for (int i = next_escape(buf, 0, length); i < length; i = next_escape(buf, i + 1, length)) {
    inserts += needs_guard(buf, i, length);
  }
  if (inserts == 0) return length;
  // Expand from the back so every byte is read before its place is written: each guarded escape
  // moves the run behind it up by the guards still to come. Once the write position meets the
  // read position no guards remain and the front of the buffer is already in place.
  const int encoded = length + inserts;
  int w = encoded;    // bytes at and after w are final
  int r = length;     // bytes before r are still unmoved
  int scan = length;  // the next escape is searched below scan
  while (w > r) {
    const int i = last_escape(buf, scan);
    scan = i;
    if (!needs_guard(buf, i, length)) continue;
    const int tail = r - (i + 1);
    std::memmove(buf + w - tail, buf + i + 1, static_cast<size_t>(tail));
    w -= tail;
    buf[--w] = kEscapedEscape;
    buf[--w] = kEscape;
    r = i;
  }
  return encoded;
}

int wDecodeEscapeRun(w_escape_state* state, const unsigned char* in, int length, unsigned char* out,
                     int* written) {
  *written = 0;
  if (length <= 0) return 0;
  int ch = state->channel;
  bool escaped = state->escape_pending != 0;
  int r = 0;
  int w = 0;  // out + w never passes in + r (see the contract), so in place works
  if (escaped && is_select(in[0])) {
    ch = in[0] - kSelectFirst;
    escaped = false;
    r = 1;
  }
  for (;;) {
    if (escaped) {
      if (r == length) break;
      const unsigned char b = in[r];
      // 0xDF 0xDF: one data 0xDF, the second opens a new escape.
      if (b == kEscape) {
        if (ch >= 0) out[w++] = kEscape;
        ++r;
        continue;
      }
      // The bytes after a select belong to another channel: that is the next call's run.
      if (is_select(b)) break;
      ++r;
      escaped = false;
      if (b == kEscapedEscape) {
        if (ch >= 0) out[w++] = kEscape;
      } else if (ch >= 0) {  // the escape was not one: both bytes are data
        out[w++] = kEscape;
        out[w++] = b;
      }
      continue;
    }
    if (r == length) break;
    const int stop = next_escape(in, r, length);
    if (ch >= 0) {
      if (out + w != in + r) std::memmove(out + w, in + r, static_cast<size_t>(stop - r));
      w += stop - r;
    }
    r = stop;
    if (r == length) break;
    ++r;  // the escape byte itself is never written as it stands
    escaped = true;
  }
  state->channel = ch;
  state->escape_pending = escaped ? 1 : 0;
  *written = w;
  return r;
}

namespace mixlink::detail {

int decode_escapes(w_escape_state* state, const unsigned char* in, int length, unsigned char* out) {
  int r = 0;
  int w = 0;
  while (r < length) {
    // A select completing here: its byte stays in the stream where the switch happened.
    if (state->escape_pending && is_select(in[r])) {
      out[w++] = in[r];
      state->channel = in[r] - kSelectFirst;
      state->escape_pending = 0;
      ++r;
      continue;
    }
    int written = 0;
    r += wDecodeEscapeRun(state, in + r, length - r, out + w, &written);
    w += written;
  }
  return w;
}

}  // namespace mixlink::detail

int wDecodeEscapes(unsigned char* buf, int length, int* channel) {
  if (length <= 0) return 0;
  w_escape_state state{*channel, 0};
  // One block on its own: an escape cut by its end is dropped, not carried.
  const int n = detail::decode_escapes(&state, buf, length, buf);
  *channel = state.channel;
  return n;
}

int wRecvEscapes(unsigned char* buf, int length) { return wDecodeEscapes(buf, length, &ch_id_rx); }
