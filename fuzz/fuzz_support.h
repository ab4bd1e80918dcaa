// SPDX-License-Identifier: MIT
// Shared pieces of the fuzz harnesses: a check that aborts loudly, and the feeding plans that
// let the first input byte choose how a stream harness hands the rest to its decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// Stops the run with the failed condition named, so libFuzzer records the input as a crash.
#define FUZZ_CHECK(cond)                                                              \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace mixfuzz {

// How a stream is handed over: the low two bits of the mode byte pick the feeding, the next five
// a parameter (the split point in 32ths of the length, or the chunk size 1 to 8).
enum class Feeding { whole, byte_by_byte, split, chunks };

inline Feeding feeding_of(uint8_t mode) { return static_cast<Feeding>(mode & 3); }

// Sizes of the successive pieces of a stream of length bytes under the feeding of mode; their
// sum is length, and no piece is empty unless length is 0.
inline std::vector<size_t> feeding_plan(uint8_t mode, size_t length) {
  std::vector<size_t> pieces;
  const unsigned param = (mode >> 2) & 0x1F;
  switch (feeding_of(mode)) {
    case Feeding::whole:
      pieces.push_back(length);
      break;
    case Feeding::byte_by_byte:
      pieces.assign(length, 1);
      break;
    case Feeding::split: {
      const size_t at = length * param / 31;
      if (at > 0) pieces.push_back(at);
      if (length - at > 0 || at == 0) pieces.push_back(length - at);
      break;
    }
    case Feeding::chunks: {
      const size_t chunk = 1 + param % 8;
      for (size_t at = 0; at < length; at += chunk) pieces.push_back(length - at < chunk ? length - at : chunk);
      if (pieces.empty()) pieces.push_back(0);
      break;
    }
  }
  return pieces;
}

// A heap copy of exactly the given bytes, so AddressSanitizer sees any read or write past them.
class ExactBuffer {
 public:
  ExactBuffer(const uint8_t* data, size_t size, size_t room = 0)
      : size_(size), data_(static_cast<unsigned char*>(std::calloc(size + room > 0 ? size + room : 1, 1))) {
    if (size > 0) std::memcpy(data_, data, size);
  }
  ~ExactBuffer() { std::free(data_); }
  ExactBuffer(const ExactBuffer&) = delete;
  ExactBuffer& operator=(const ExactBuffer&) = delete;
  unsigned char* data() { return data_; }
  int size() const { return static_cast<int>(size_); }

 private:
  size_t size_;
  unsigned char* data_;
};

// Inputs above this are cut: the decoders are linear, and big inputs only slow the search.
inline constexpr size_t kMaxInput = 1 << 16;

// An input read as a mode byte and the body behind it. Bits 2 to 6 of the mode are a parameter,
// 31 standing for no limit; most is the largest count of entries (six bytes at least each) the
// body can hold.
struct ModedInput {
  uint8_t mode;
  const uint8_t* body;
  size_t len;
  int param;
  int most;
  bool unlimited() const { return param == 0x1F; }
};

// Reads data into in; false for an empty input or one above kMaxInput.
inline bool read_moded(const uint8_t* data, size_t size, ModedInput* in) {
  if (size == 0 || size > kMaxInput) return false;
  *in = {data[0], data + 1, size - 1, (data[0] >> 2) & 0x1F, static_cast<int>((size - 1) / 6 + 1)};
  return true;
}

}  // namespace mixfuzz
