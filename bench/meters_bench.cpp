// SPDX-License-Identifier: MIT
// One meter datagram to 120 bar heights: the generated table against the formula it holds.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "bars.h"

namespace {

struct Datagram {
  unsigned char buf[256] = {};
  Datagram() {
    std::mt19937 rng(3);
    for (int i = 0; i < bandscope::kBarCount * 2; ++i) buf[bandscope::kRtaHeaderBytes + i] = static_cast<unsigned char>(rng());
  }
};

void BM_BarHeightsTable(benchmark::State& state) {
  const Datagram d;
  int heights[bandscope::kBarCount];
  for (auto _ : state) {
    bandscope::barHeights(d.buf, sizeof d.buf, heights);
    benchmark::DoNotOptimize(heights);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

// The scale's formula, one pow per bar: what the table replaces.
void BM_BarHeightsPow(benchmark::State& state) {
  const Datagram d;
  int heights[bandscope::kBarCount];
  for (auto _ : state) {
    for (int i = 0; i < bandscope::kBarCount; ++i) {
      const int v = static_cast<int16_t>((d.buf[4 + 2 * i] << 8) | d.buf[5 + 2 * i]);
      const float s = static_cast<float>(v + 32768) * (1.0f / 32768.0f);
      heights[i] = static_cast<int>(128.0 * std::pow(static_cast<double>(s), 10.0));
    }
    benchmark::DoNotOptimize(heights);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_BarHeightsTable);
BENCHMARK(BM_BarHeightsPow);
