// SPDX-License-Identifier: MIT
// The one value-token encoder: used by the simulated console, the tests and the tools.
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include <cstring>

#include "link/wire.h"

using namespace mixlink;

namespace {

int put_be32(unsigned char* out, uint32_t v) {
  mixlink::wire::put_be32(out, v);
  return 4;
}

int put_text(unsigned char code, const char* text, int n, unsigned char* out, int capacity) {
  if (n > 0 && text == nullptr) return 0;
  if (code == kTokLongStr) {
    if (n < 1 || n > 256 || capacity < n + 2) return 0;
    out[0] = kTokLongStr;
    out[1] = static_cast<unsigned char>(n - 1);
    std::memcpy(out + 2, text, static_cast<size_t>(n));
    return n + 2;
  }
  int first = 0, most = 0;
  if (code >= kTokShortStrFirst && code <= kTokShortStrLast) {
    first = kTokShortStrFirst; most = 64;
  } else {
    first = kTokTinyStrFirst; most = 16;
  }
  if (n < 1 || n > most || capacity < n + 1) return 0;
  out[0] = static_cast<unsigned char>(first + n - 1);
  std::memcpy(out + 1, text, static_cast<size_t>(n));
  return n + 1;
}

}  // namespace

int wEncodeToken(unsigned char code, w_value value, const char* text, int text_length,
                 unsigned char* out, int capacity) {
  if (out == nullptr || capacity < 1) return 0;
  if (code <= kTokOffsetIntLast || code == kTokEmptyStr || code == kTokToggle) {
    out[0] = code;
    return 1;
  }
  if (code >= kTokShortStrFirst && code <= kTokTinyStrLast) return put_text(code, text, text_length, out, capacity);
  switch (code) {
    case kTokLongStr:
      return put_text(code, text, text_length, out, capacity);
    case kTokInt16:
    case kTokInt16Alt:
      if (capacity < 3 || value.i < -32768 || value.i > 32767) return 0;
      out[0] = code;
      mixlink::wire::put_be16(out + 1, static_cast<uint32_t>(value.i));
      return 3;
    case kTokInt32:
      if (capacity < 5) return 0;
      out[0] = code;
      return 1 + put_be32(out + 1, static_cast<uint32_t>(value.i));
    case kTokFloat:
    case kTokFloatAlt: {
      if (capacity < 5) return 0;
      uint32_t bits;
      std::memcpy(&bits, &value.f, sizeof bits);
      out[0] = code;
      return 1 + put_be32(out + 1, bits);
    }
    case kTokNodeHash:
      if (capacity < 5) return 0;
      out[0] = code;
      return 1 + put_be32(out + 1, value.hash);
    case kTokByte:
      if (capacity < 2 || value.i < 0 || value.i > 255) return 0;
      out[0] = code;
      out[1] = static_cast<unsigned char>(value.i);
      return 2;
    default:
      return 0;
  }
}

int wEncodeInt(int32_t v, unsigned char* out) {
  w_value value;
  value.i = v;
  if (v >= 0 && v <= kTokSmallIntLast) return wEncodeToken(static_cast<unsigned char>(v), value, nullptr, 0, out, 5);
  if (v >= 0 && v <= 255) return wEncodeToken(kTokByte, value, nullptr, 0, out, 5);
  if (v >= -32768 && v <= 32767) return wEncodeToken(kTokInt16Alt, value, nullptr, 0, out, 5);
  return wEncodeToken(kTokInt32, value, nullptr, 0, out, 5);
}

int wEncodeString(const char* text, int length, unsigned char* out) {
  w_value none;
  none.i = 0;
  if (length < 0 || length > 256) return 0;
  if (length == 0) return wEncodeToken(kTokEmptyStr, none, nullptr, 0, out, 1);
  if (length <= 16) return wEncodeToken(kTokTinyStrFirst, none, text, length, out, length + 1);
  if (length <= 64) return wEncodeToken(kTokShortStrFirst, none, text, length, out, length + 1);
  return wEncodeToken(kTokLongStr, none, text, length, out, length + 2);
}
