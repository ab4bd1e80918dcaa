// SPDX-License-Identifier: MIT
// What the library's reads hand over with memory of its own (the texts of decoded records, a
// definition's bytes), owned here so that every way out of a command frees it; and the records
// as the tool prints them.
#pragma once

#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace mixtool {

// Token-value records that a read fills; the texts of the filled ones are freed with them or
// before the next read.
class Records {
 public:
  explicit Records(int capacity) : records_(static_cast<size_t>(capacity)) {}
  ~Records() { clear(); }
  Records(const Records&) = delete;
  Records& operator=(const Records&) = delete;

  // Frees the texts of the last read, then calls read(records, capacity), a library read that
  // returns the records it filled; returns its result.
  template <class Read>
  int read(Read&& read) {
    clear();
    const int n = read(records_.data(), static_cast<int>(records_.size()));
    filled_ = n > 0 ? static_cast<size_t>(n) : 0;
    return n;
  }
  std::span<const w_token_value> filled() const { return {records_.data(), filled_}; }

 private:
  void clear() {
    for (size_t i = 0; i < filled_; ++i)
      if (records_[i].type == W_VALUE_STRING) std::free(records_[i].value.s);
    filled_ = 0;
  }
  std::vector<w_token_value> records_;
  size_t filled_ = 0;
};

// One value that a read decodes; its text, when the read stored one, is freed with it.
class Value {
 public:
  Value() = default;
  ~Value() { clear(); }
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;

  // Frees the text of the last read, then calls read(&type, &value), a library read that returns
  // 1 when it stored a value; returns its result.
  template <class Read>
  int read(Read&& read) {
    clear();
    const int r = read(&type_, &value_);
    stored_ = r == 1;
    return r;
  }
  int type() const { return type_; }
  const w_value& value() const { return value_; }

 private:
  void clear() {
    if (stored_ && type_ == W_VALUE_STRING) std::free(value_.s);
    stored_ = false;
  }
  int type_ = W_VALUE_INT;
  w_value value_{};
  bool stored_ = false;
};

// A buffer the library allocated with malloc().
struct FreeBytes {
  void operator()(unsigned char* p) const { std::free(p); }
};
using Bytes = std::unique_ptr<unsigned char[], FreeBytes>;

// The type words (one table for the tool, the JSON and the Python module; docs/tool.md):
// a value type code as "int", "float", "string" or "hash" (a value that names a node).
const char* type_name(int value_type);

// A node type code as "container", "int", "float", "string" or "slot" (a user-control slot,
// which holds an integer or names a node).
const char* node_type_name(int node_type);

// A value that names a node: that node's path, or 8 hex digits when the dictionary has no node
// with that hash.
std::string hash_text(uint32_t hash);

// A value as one line's text: a hash as hash_text, a float that reads back to itself, a string
// escaped (output.h).
std::string value_text(int type, const w_value& v);

// A value as JSON: numbers as numbers, a hash (as hash_text) and a string as JSON strings.
std::string json_value(int type, const w_value& v);

// Calls visit(hash, value, width) for each entry (0xD7, a node hash, one value token) in the
// length bytes of block: value points at the entry's value token and width is its length, or 0
// when its code is no value token (such an entry takes one byte after the hash). Bytes where no
// entry starts are stepped over; an entry cut off by the end of the block ends the walk.
template <class Visit>
void walk_entries(const unsigned char* block, int length, Visit visit) {
  constexpr int kHeader = 5;  // the code and the 4-byte hash
  int p = 0;
  while (p < length) {
    if (block[p] != mixlink::kTokNodeHash) {
      ++p;
      continue;
    }
    const int rest = length - p - kHeader;
    if (rest < 1) return;
    const unsigned char* value = block + p + kHeader;
    const int width = wTokenLength(value, rest);
    if (width == 0 && value[0] < mixlink::kTokFirstInvalid) return;  // the token runs past the end
    const uint32_t hash = (uint32_t{block[p + 1]} << 24) | (uint32_t{block[p + 2]} << 16) |
                          (uint32_t{block[p + 3]} << 8) | uint32_t{block[p + 4]};
    visit(hash, value, width);
    p += kHeader + (width > 0 ? width : 1);
  }
}

}  // namespace mixtool
