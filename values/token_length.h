// SPDX-License-Identifier: MIT
// The wire length of a value token: the one definition of the token widths, inline so that the
// reply walks that measure every entry do not pay a call for each.
#pragma once

#include <mixlink/protocol.h>

#include <array>

namespace mixlink::values {

// Wire length of every code but 0xD1, whose length byte says it; 0 for codes that are not value
// tokens.
inline constexpr auto kCodeLength = [] {
  std::array<unsigned char, 256> n{};
  for (int c = 0; c < 256; ++c) {
    if (c <= kTokOffsetIntLast) n[c] = 1;
    else if (c <= kTokShortStrLast) n[c] = static_cast<unsigned char>(1 + (c - 127));
    else if (c <= kTokTinyStrLast) n[c] = static_cast<unsigned char>(1 + (c - 191));
  }
  n[kTokEmptyStr] = n[kTokToggle] = 1;
  n[kTokInt16] = n[kTokInt16Alt] = 3;
  n[kTokInt32] = n[kTokFloat] = n[kTokFloatAlt] = n[kTokNodeHash] = 5;
  n[kTokByte] = 2;
  return n;
}();

// Wire length a code announces, read from the code byte and (for 0xD1) the length byte that
// follows it. Returns 0 for codes that are not value tokens. The caller guarantees that p[1]
// is readable when the code is 0xD1.
inline int announced_length(const unsigned char* p) {
  // A length byte L announces L + 1 text bytes, so a long text is 1 to 256 characters.
  return p[0] == kTokLongStr ? 2 + p[1] + 1 : kCodeLength[p[0]];
}

// wTokenLength: the length of the token at token when all of it lies within length bytes, else 0.
inline int token_length(const unsigned char* token, int length) {
  if (token == nullptr || length < 1) return 0;
  // The long string's width lives in its second byte, which must itself be received.
  if (token[0] == kTokLongStr && length < 2) return 0;
  const int n = announced_length(token);
  return n > 0 && n <= length ? n : 0;
}

}  // namespace mixlink::values
