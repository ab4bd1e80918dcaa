// SPDX-License-Identifier: MIT
// The value texts written without printf against snprintf with the formats they stand in for,
// over every class of float (ties of the last digit, values rounding to zero, subnormals, the
// 2^31 edge, infinities and NaNs) and over whole ranges of integers.
#include <gtest/gtest.h>

#include <mixlink/nodes.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

namespace {

std::string text_of(const unsigned char* token, int size) {
  char text[W_VALUE_TEXT_SIZE];
  if (wParseToNode(nullptr, token, 0, text, size) != size) return "<refused>";
  return text;
}

// Compares both float codes for the float with these bits; returns the number of mismatches.
int check_float(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  int wrong = 0;
  for (const auto& [code, format] : {std::pair{0xD5, "%.2f,"}, std::pair{0xD6, "%.4f,"}}) {
    const unsigned char token[5] = {static_cast<unsigned char>(code), static_cast<unsigned char>(bits >> 24),
                                    static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 8),
                                    static_cast<unsigned char>(bits)};
    char want[W_VALUE_TEXT_SIZE];
    std::snprintf(want, sizeof want, format, static_cast<double>(f));
    const std::string got = text_of(token, 5);
    if (got != want && ++wrong <= 3)
      ADD_FAILURE() << std::hex << "bits " << bits << " code " << code << ": " << got << " against " << want;
  }
  return wrong;
}

uint32_t bits_of(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

}  // namespace

TEST(ValueTextEquivalence, FloatsPrintAsPrintfDoes) {
  int wrong = 0;
  // Ties of the last digit and their neighbours: multiples of 2^-j near every size of number.
  for (int j = 1; j <= 20; ++j)
    for (int k = -3000; k <= 3000; ++k) {
      const uint32_t b = bits_of(std::ldexp(static_cast<float>(k), -j));
      wrong += check_float(b) + check_float(b + 1) + check_float(b - 1);
    }
  // Every float of the decades dumps show most (faders, gains, frequencies, times).
  for (uint32_t b = bits_of(0.001f); b < bits_of(30000.0f); b += 499) wrong += check_float(b) + check_float(b | 0x80000000u);
  // Edges: zeros, the smallest subnormals, values rounding to zero, the 2^31 limit and beyond.
  for (uint32_t b : {0x00000000u, 0x80000000u, 0x00000001u, 0x807FFFFFu, 0x3C23D70Au, 0xBBA3D70Au, 0x4EFFFFFFu,
                     0x4F000000u, 0xCF000000u, 0x7F7FFFFFu, 0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xFFC00001u})
    wrong += check_float(b);
  // Any bit pattern at all.
  std::mt19937 rng(7);
  for (int i = 0; i < 300000; ++i) wrong += check_float(static_cast<uint32_t>(rng()));
  EXPECT_EQ(wrong, 0);
}

TEST(ValueTextEquivalence, IntegersAndHashesPrintAsPrintfDoes) {
  int wrong = 0;
  auto expect = [&wrong](const unsigned char* token, int size, const std::string& want) {
    const std::string got = text_of(token, size);
    if (got != want && ++wrong <= 5) ADD_FAILURE() << got << " against " << want;
  };
  char want[64];
  for (int v = -32768; v <= 32767; ++v) {
    const unsigned char t[3] = {0xD2, static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    std::snprintf(want, sizeof want, "%i,", v);
    expect(t, 3, want);
  }
  std::mt19937 rng(11);
  constexpr uint32_t kEdges[] = {0u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
  for (int i = 0; i < 200000; ++i) {
    const uint32_t v = i < 4 ? kEdges[i] : static_cast<uint32_t>(rng());
    const unsigned char b[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                                static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    const unsigned char i32[5] = {0xD4, b[0], b[1], b[2], b[3]};
    std::snprintf(want, sizeof want, "%i,", static_cast<int32_t>(v));
    expect(i32, 5, want);
    const unsigned char hash[5] = {0xD7, b[0], b[1], b[2], b[3]};
    std::snprintf(want, sizeof want, "%08x,", v);
    expect(hash, 5, want);
  }
  for (int v = 0; v <= 255; ++v) {
    const unsigned char t[2] = {0xD9, static_cast<unsigned char>(v)};
    std::snprintf(want, sizeof want, "%i,", v);
    expect(t, 2, want);
  }
  EXPECT_EQ(wrong, 0);
}
