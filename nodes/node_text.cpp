// SPDX-License-Identifier: MIT
// Value text of one token and the relative-name composition of a container dump.
// Pure: no sockets, no dictionary, no allocation.
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "link/wire.h"
#include "values/token_length.h"
#include "dump_name.h"

using namespace mixlink;

namespace {

using mixlink::wire::get_be32;

float be_float(const unsigned char* p) {
  const uint32_t bits = get_be32(p);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// The writers below put one value text at text, the comma and the NUL included, and return
// where the NUL stands.

// "00" to "99", so digits come out two at a time.
constexpr auto kDigitPairs = [] {
  std::array<char, 200> d{};
  for (int i = 0; i < 100; ++i) {
    d[2 * i] = static_cast<char>('0' + i / 10);
    d[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return d;
}();

// The decimal digits of u, no sign, no comma; returns the end. Written from the last digit
// back, two at a time, straight into text.
char* put_digits(char* text, uint64_t u) {
  int length = 1;
  for (uint64_t bound = 10; length < 20 && u >= bound; bound *= 10) ++length;
  char* const end = text + length;
  char* p = end;
  while (u >= 100) {
    p -= 2;
    std::memcpy(p, &kDigitPairs[2 * (u % 100)], 2);
    u /= 100;
  }
  if (u >= 10) {
    std::memcpy(p - 2, &kDigitPairs[2 * u], 2);
  } else {
    p[-1] = static_cast<char>('0' + u);
  }
  return end;
}

// The decimal digits of v, as "%i," writes them.
char* put_int(char* text, int64_t v) {
  if (v < 0) *text++ = '-';
  text = put_digits(text, v < 0 ? 0u - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
  text[0] = ',';
  text[1] = '\0';
  return text + 1;
}

// f with `decimals` (2 or 4) digits after the point, exactly as "%.2f," and "%.4f," write it:
// the exact binary value rounded half to even, a minus sign whenever the sign bit is set.
// Returns nullptr, writing nothing, for magnitudes of 2^31 and above, infinities and NaNs,
// which are left to snprintf.
char* put_fixed(char* text, float f, int decimals) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  const uint32_t biased = (bits >> 23) & 0xFF;
  if (biased == 0xFF) return nullptr;
  const uint64_t mantissa = biased == 0 ? (bits & 0x7FFFFFu) : (bits & 0x7FFFFFu) | 0x800000u;
  const int exponent = biased == 0 ? -149 : static_cast<int>(biased) - 150;  // f = mantissa * 2^exponent
  const uint64_t scale = decimals == 2 ? 100 : 10000;
  uint64_t scaled;  // f * scale, rounded to an integer
  if (exponent >= 0) {
    if (exponent > 7) return nullptr;
    scaled = (mantissa << exponent) * scale;
  } else if (-exponent >= 64) {
    scaled = 0;  // far below half a unit of the last digit
  } else {
    const int shift = -exponent;
    const uint64_t product = mantissa * scale;  // below 2^38: exact
    scaled = product >> shift;
    const uint64_t rest = product & ((uint64_t{1} << shift) - 1);
    const uint64_t half = uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (scaled & 1) != 0)) ++scaled;
  }
  if (bits >> 31) *text++ = '-';
  // Constant divisors in each branch, so the compiler multiplies instead of dividing.
  if (decimals == 2) {
    text = put_digits(text, scaled / 100);
    *text++ = '.';
    std::memcpy(text, &kDigitPairs[2 * (scaled % 100)], 2);
  } else {
    text = put_digits(text, scaled / 10000);
    *text++ = '.';
    const uint64_t part = scaled % 10000;
    std::memcpy(text, &kDigitPairs[2 * (part / 100)], 2);
    std::memcpy(text + 2, &kDigitPairs[2 * (part % 100)], 2);
  }
  text[decimals] = ',';
  text[decimals + 1] = '\0';
  return text + decimals + 1;
}

char* put_float(char* text, float f, int decimals) {
  if (char* end = put_fixed(text, f, decimals)) return end;
  const int n = std::snprintf(text, W_VALUE_TEXT_SIZE, decimals == 2 ? "%.2f," : "%.4f,", static_cast<double>(f));
  return text + n;
}

char* put_hex(char* text, uint32_t v) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 7; i >= 0; --i) {
    text[i] = kDigits[v & 0xF];
    v >>= 4;
  }
  text[8] = ',';
  text[9] = '\0';
  return text + 9;
}

// The n text bytes up to the first NUL, then the comma.
char* put_text(char* text, const unsigned char* from, int n) {
  const void* nul = std::memchr(from, 0, static_cast<size_t>(n));
  if (nul != nullptr) n = static_cast<int>(static_cast<const unsigned char*>(nul) - from);
  std::memcpy(text, from, static_cast<size_t>(n));
  text[n] = ',';
  text[n + 1] = '\0';
  return text + n + 1;
}

char* put_literal(char* text, const char* literal, size_t n) {
  std::memcpy(text, literal, n + 1);
  return text + n;
}

int count_dots(const char* s) {
  int n = 0;
  for (; *s; ++s) n += *s == '.';
  return n;
}

}  // namespace

int mixlink::nodes::value_text(const unsigned char* buf, int position, char* text, int length, int* text_length) {
  text[0] = '\0';
  *text_length = 0;
  const bool checked = length >= 0;
  if (position < 0 || (checked && position >= length)) return 0;
  const unsigned char* p = buf + position;
  const unsigned char c = p[0];
  if (c >= kTokFirstInvalid) return position + 1;  // not a value token: nothing to show
  const int size = mixlink::values::token_length(p, checked ? length - position : INT_MAX);
  if (size == 0) return 0;  // the token runs past the data

  char* end = text;
  if (c <= kTokSmallIntLast) {
    end = put_int(text, c);
  } else if (c <= kTokOffsetIntLast) {
    end = put_int(text, c - 127);
  } else if (c <= kTokTinyStrLast) {
    end = put_text(text, p + 1, size - 1);
  } else {
    switch (c) {
      case kTokEmptyStr: end = put_literal(text, "\"\",", 3); break;
      case kTokLongStr: end = put_text(text, p + 2, size - 2); break;
      case kTokInt16:
      case kTokInt16Alt: end = put_int(text, static_cast<int16_t>((p[1] << 8) | p[2])); break;
      case kTokInt32: end = put_int(text, static_cast<int32_t>(get_be32(p + 1))); break;
      case kTokFloat: end = put_float(text, be_float(p + 1), 2); break;
      case kTokFloatAlt: end = put_float(text, be_float(p + 1), 4); break;
      case kTokNodeHash: end = put_hex(text, get_be32(p + 1)); break;
      case kTokToggle: end = put_literal(text, "toggle,", 7); break;
      case kTokByte: end = put_int(text, p[1]); break;
      default: break;
    }
  }
  *text_length = static_cast<int>(end - text);
  return position + size;
}

int wParseToNode(void*, const unsigned char* buf, int position, char* text, int length) {
  int text_length = 0;
  return mixlink::nodes::value_text(buf, position, text, length, &text_length);
}

int wDumpNamePart(const char* previous, const char* path, char* out, int capacity) {
  if (capacity <= 0) return -10;
  const mixlink::dict::NamePlan plan = mixlink::dict::plan_name(previous, path);
  const size_t need = mixlink::dict::name_length(plan);
  if (need + 1 > static_cast<size_t>(capacity)) return -10;
  mixlink::dict::put_name(out, plan, path);
  out[need] = '\0';
  return static_cast<int>(need);
}

int wDumpStart(w_dump* dump, const char* container, char* text, size_t capacity) {
  if (capacity == 0) return -10;
  text[0] = '\0';
  dump->text = text;
  dump->capacity = capacity;
  dump->length = 0;
  dump->previous[0] = '\0';
  dump->depth = 0;
  const size_t n = std::strlen(container);
  if (n >= sizeof dump->previous) return -2;
  std::memcpy(dump->previous, container, n + 1);
  dump->depth = count_dots(container);
  return 1;
}

int mixlink::nodes::dump_append(w_dump* dump, const dict::NamePlan& plan, const char* path, const char* value) {
  if (plan.length >= sizeof dump->previous) return -2;
  // Names stay within a previous path's room and a few climbing dots; longer ones (only paths
  // with dozens of empty components make them) are refused as not fitting.
  const size_t n = dict::name_length(plan);
  if (n + 1 > sizeof dump->previous + 8) return -10;
  const size_t lv = std::strlen(value);
  const size_t need = n + 1 + lv;
  if (dump->length + need + 1 > dump->capacity) return -10;
  char* at = dump->text + dump->length;
  dict::put_name(at, plan, path);
  at[n] = '=';
  std::memcpy(at + n + 1, value, lv + 1);
  dump->length += need;
  std::memcpy(dump->previous, path, plan.length + 1);
  dump->depth = plan.depth;
  return 1;
}

int wDumpAppend(w_dump* dump, const char* path, const char* value) {
  return mixlink::nodes::dump_append(dump, mixlink::dict::plan_name(dump->previous, path), path, value);
}

int wDumpFinish(w_dump* dump) {
  if (dump->length + 2 > dump->capacity) return -10;
  dump->text[dump->length++] = '\n';
  dump->text[dump->length] = '\0';
  return 1;
}
