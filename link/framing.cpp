// Channel framing: the escape codec applied to every TCP send and receive.
#include <mixlink/link.h>
#include <mixlink/protocol.h>

using namespace mixlink;

int ch_id_tx = 0;
int ch_id_rx = 1;

namespace {

bool is_escapable(unsigned char b) { return b >= kSelectFirst && b <= kEscapedEscape; }

// True when an 0xDE must follow the 0xDF at i: the run of 0xDF ends there and is followed by a
// byte that the receiver would otherwise take for a select or an escaped escape, or by the end.
bool needs_guard(const unsigned char* buf, int i, int length) {
  if (buf[i] != kEscape) return false;
  if (i + 1 == length) return true;
  return buf[i + 1] != kEscape && is_escapable(buf[i + 1]);
}

}  // namespace

int wSendEscapes(unsigned char* buf, int length) {
  if (length <= 0) return 0;
  int inserts = 0;
  for (int i = 0; i < length; ++i) inserts += needs_guard(buf, i, length);
  if (inserts == 0) return length;
  // Expand from the back so every byte is read before its place is written.
  int w = length + inserts;
  const int encoded = w;
  for (int i = length - 1; i >= 0; --i) {
    if (needs_guard(buf, i, length)) buf[--w] = kEscapedEscape;
    buf[--w] = buf[i];
  }
  return encoded;
}

int wDecodeEscapes(unsigned char* buf, int length, int* channel) {
  if (length <= 0) return 0;
  int ch = *channel;
  int w = 0;
  bool escaped = false;
  for (int r = 0; r < length; ++r) {
    const unsigned char b = buf[r];
    if (!escaped) {
      if (b == kEscape) {
        escaped = true;
      } else if (ch >= 0) {
        buf[w++] = b;
      }
      continue;
    }
    if (b == kEscape) {  // 0xDF 0xDF: one data 0xDF, the second opens a new escape
      if (ch >= 0) buf[w++] = kEscape;
    } else if (b == kEscapedEscape) {
      escaped = false;
      if (ch >= 0) buf[w++] = kEscape;
    } else if (b >= kSelectFirst && b <= kSelectLast) {
      ch = b - kSelectFirst;
      escaped = false;
      buf[w++] = b;  // the select byte stays in the stream where the switch happened
    } else {
      escaped = false;
      if (ch >= 0) {  // the escape was not one: both bytes are data
        buf[w++] = kEscape;
        buf[w++] = b;
      }
    }
  }
  *channel = ch;
  return w;
}

int wRecvEscapes(unsigned char* buf, int length) { return wDecodeEscapes(buf, length, &ch_id_rx); }
