// SPDX-License-Identifier: MIT
// A strict JSON check for the tool's output: the grammar of RFC 8259, strings valid UTF-8 with no
// raw control characters. Small on purpose: the tests need a yes or no, not a document.
#pragma once

#include <cctype>
#include <cstddef>
#include <string_view>

namespace tooltest {

class JsonCheck {
 public:
  // True when text is exactly one JSON value (surrounding white space allowed).
  static bool valid(std::string_view text) {
    JsonCheck c{text};
    c.space();
    if (!c.value()) return false;
    c.space();
    return c.at_ == text.size();
  }

 private:
  explicit JsonCheck(std::string_view t) : t_(t) {}
  std::string_view t_;
  size_t at_ = 0;

  int peek() const { return at_ < t_.size() ? static_cast<unsigned char>(t_[at_]) : -1; }
  bool eat(char c) { return peek() == static_cast<unsigned char>(c) ? (++at_, true) : false; }
  void space() {
    while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') ++at_;
  }
  bool word(std::string_view w) {
    if (t_.substr(at_, w.size()) != w) return false;
    at_ += w.size();
    return true;
  }
  bool digits() {
    const size_t from = at_;
    while (peek() >= '0' && peek() <= '9') ++at_;
    return at_ > from;
  }
  bool number() {
    eat('-');
    if (!eat('0') && !digits()) return false;
    if (eat('.') && !digits()) return false;
    if (eat('e') || eat('E')) {
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    return true;
  }
  bool string() {
    if (!eat('"')) return false;
    for (;;) {
      const int c = peek();
      if (c < 0x20) return false;  // the end, or a raw control character
      ++at_;
      if (c == '"') return true;
      if (c == '\\') {
        const int e = peek();
        ++at_;
        if (e == 'u') {
          for (int i = 0; i < 4; ++i, ++at_)
            if (!std::isxdigit(peek())) return false;
        } else if (e < 0 || std::string_view("\"\\/bfnrt").find(static_cast<char>(e)) == std::string_view::npos) {
          return false;
        }
      } else if (c >= 0x80) {
        // Continuation bytes of one valid UTF-8 sequence (overlongs and surrogates refused).
        const int n = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (n < 0 || c == 0xC0 || c == 0xC1 || c > 0xF4) return false;
        const int second = peek();
        if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) || (c == 0xF0 && second < 0x90) ||
            (c == 0xF4 && second > 0x8F))
          return false;
        for (int i = 0; i < n; ++i, ++at_)
          if ((peek() & 0xC0) != 0x80) return false;
      }
    }
  }
  bool value() {
    space();
    const int c = peek();
    bool ok = false;
    if (c == '{') {
      ++at_;
      space();
      ok = eat('}');
      while (!ok) {
        space();
        if (!string()) return false;
        space();
        if (!eat(':') || !value()) return false;
        space();
        if (eat('}')) ok = true;
        else if (!eat(',')) return false;
      }
    } else if (c == '[') {
      ++at_;
      space();
      ok = eat(']');
      while (!ok) {
        if (!value()) return false;
        space();
        if (eat(']')) ok = true;
        else if (!eat(',')) return false;
      }
    } else if (c == '"') {
      ok = string();
    } else if (c == 't') {
      ok = word("true");
    } else if (c == 'f') {
      ok = word("false");
    } else if (c == 'n') {
      ok = word("null");
    } else {
      ok = number();
    }
    return ok;
  }
};

}  // namespace tooltest
