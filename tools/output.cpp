// SPDX-License-Identifier: MIT
#include "output.h"

#include <mixlink/link.h>

#include <charconv>
#include <cmath>
#include <cstdint>

namespace mixtool {

namespace {

// Length of the valid UTF-8 sequence at s[i] (1 to 4) with its code point, or 0 when the byte
// there starts none: a stray continuation byte, an overlong form, a surrogate, a code point above
// U+10FFFF, or a sequence cut short.
int utf8_at(std::string_view s, size_t i, uint32_t* cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  int n = 0;
  uint32_t v = 0;
  uint32_t smallest = 0;
  if ((c & 0xE0) == 0xC0) {
    n = 2, v = c & 0x1F, smallest = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3, v = c & 0x0F, smallest = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4, v = c & 0x07, smallest = 0x10000;
  } else {
    return 0;
  }
  if (i + static_cast<size_t>(n) > s.size()) return 0;
  for (int k = 1; k < n; ++k) {
    if ((b(i + static_cast<size_t>(k)) & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b(i + static_cast<size_t>(k)) & 0x3F);
  }
  if (v < smallest || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

bool is_control(uint32_t cp) { return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F); }

constexpr char kHex[] = "0123456789abcdef";

void put_hex_byte(std::string& out, const char* prefix, unsigned char b) {
  out += prefix;
  out += kHex[b >> 4];
  out += kHex[b & 15];
}

}  // namespace

std::string text_escaped(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    uint32_t cp = 0;
    const int n = utf8_at(bytes, i, &cp);
    if (n > 0 && cp == '\\') {
      out += "\\\\";
    } else if (n > 0 && !is_control(cp)) {
      out.append(bytes.substr(i, static_cast<size_t>(n)));
    } else {
      // A control character keeps its bytes visible; a byte that is no UTF-8 goes alone.
      const int k = n > 0 ? n : 1;
      for (int j = 0; j < k; ++j) put_hex_byte(out, "\\x", static_cast<unsigned char>(bytes[i + static_cast<size_t>(j)]));
      i += static_cast<size_t>(k);
      continue;
    }
    i += static_cast<size_t>(n);
  }
  return out;
}

std::string json_string(std::string_view bytes) {
  std::string out = "\"";
  for (size_t i = 0; i < bytes.size();) {
    uint32_t cp = 0;
    const int n = utf8_at(bytes, i, &cp);
    if (n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
      continue;
    }
    if (cp == '"' || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (is_control(cp)) {
      put_hex_byte(out, "\\u00", static_cast<unsigned char>(cp));
    } else {
      out.append(bytes.substr(i, static_cast<size_t>(n)));
    }
    i += static_cast<size_t>(n);
  }
  return out + "\"";
}

std::string float_text(float f) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, f);
  return std::string(buf, r.ptr);
}

std::string hex_text(const unsigned char* bytes, size_t length) {
  if (length == 0) return {};
  std::string out(length * 3, '\0');
  wFormatHex(bytes, static_cast<int>(length), out.data(), static_cast<int>(out.size()));
  out.resize(length * 3 - 1);
  return out;
}

std::string json_float(float f) {
  if (!std::isfinite(f)) return "null";
  std::string s = float_text(f);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

}  // namespace mixtool
