// SPDX-License-Identifier: MIT
// The escape codec on 64 KiB blocks against memcpy of the same block.
#include <benchmark/benchmark.h>

#include <mixlink/link.h>
#include <mixlink/protocol.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int kBlock = 64 * 1024;

// A block of random bytes in which escape_permille of every thousand are 0xDF.
std::vector<unsigned char> block_with_escapes(int escape_permille) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> any(0, 254), roll(0, 999);
  std::vector<unsigned char> b(kBlock);
  for (auto& x : b) {
    const int v = any(rng);
    x = roll(rng) < escape_permille ? mixlink::kEscape : static_cast<unsigned char>(v >= 0xDF ? v + 1 : v);
  }
  return b;
}

void BM_Memcpy(benchmark::State& state) {
  const auto src = block_with_escapes(0);
  std::vector<unsigned char> dst(kBlock);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kBlock);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBlock);
}

// An escape-free block decodes to itself, so it is decoded again and again in place with no copy
// in the timing. A block with escapes shrinks, so each pass first restores it: those figures
// include one memcpy of the block.
void BM_RecvEscapes(benchmark::State& state) {
  const int permille = static_cast<int>(state.range(0));
  const auto src = block_with_escapes(permille);
  auto buf = src;
  for (auto _ : state) {
    if (permille != 0) std::memcpy(buf.data(), src.data(), kBlock);
    ch_id_rx = 1;
    benchmark::DoNotOptimize(wRecvEscapes(buf.data(), kBlock));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBlock);
}

// As above: the encoder leaves an escape-free block as it is; other blocks grow and are restored.
void BM_SendEscapes(benchmark::State& state) {
  const int permille = static_cast<int>(state.range(0));
  const auto src = block_with_escapes(permille);
  std::vector<unsigned char> buf(2 * kBlock);
  std::memcpy(buf.data(), src.data(), kBlock);
  for (auto _ : state) {
    if (permille != 0) std::memcpy(buf.data(), src.data(), kBlock);
    benchmark::DoNotOptimize(wSendEscapes(buf.data(), kBlock));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBlock);
}

// Escape shares in permille: none, 1 % and 30 %.
void Shares(benchmark::internal::Benchmark* b) {
  for (int p : {0, 10, 300}) b->Arg(p);
}

}  // namespace

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_RecvEscapes)->Apply(Shares);
BENCHMARK(BM_SendEscapes)->Apply(Shares);
