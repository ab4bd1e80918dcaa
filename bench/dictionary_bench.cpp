// SPDX-License-Identifier: MIT
// Dictionary lookups against hash maps built from the same rows in this binary.
#include <benchmark/benchmark.h>

#include <mixlink/dictionary.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// The first n rows' paths in a seeded random order (row 0, the sentinel, left out).
std::vector<std::string> shuffled_paths(int n) {
  std::vector<std::string> paths;
  for (int t = 1; t <= n && t < wds_imax; ++t) paths.emplace_back(wingdataset[t].path);
  std::shuffle(paths.begin(), paths.end(), std::mt19937(42));
  return paths;
}

std::vector<uint32_t> hashes_of(const std::vector<std::string>& paths) {
  std::vector<uint32_t> hashes;
  for (const auto& p : paths) hashes.push_back(wGetHashFromName(p.c_str()));
  return hashes;
}

constexpr int kAllRows = wds_imax - 1;

// Times f on each key in turn, round and round.
template <typename Keys, typename F>
void cycle(benchmark::State& state, const Keys& keys, F f) {
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f(keys[i]));
    if (++i == keys.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TokenFromName(benchmark::State& state) {
  const auto paths = shuffled_paths(static_cast<int>(state.range(0)));
  cycle(state, paths, [&](const std::string& path) { return wGetTokenFromName(path.c_str()); });
}

// The baseline is handed ready-made std::string keys, so it pays no construction per lookup.
void BM_StringMapFind(benchmark::State& state) {
  const auto paths = shuffled_paths(static_cast<int>(state.range(0)));
  std::unordered_map<std::string, uint32_t> map;
  for (int t = 1; t <= state.range(0) && t < wds_imax; ++t) map.emplace(wingdataset[t].path, t);
  cycle(state, paths, [&](const std::string& path) { return map.find(path)->second; });
}

void BM_HashFromName(benchmark::State& state) {
  const auto paths = shuffled_paths(kAllRows);
  cycle(state, paths, [&](const std::string& path) { return wGetHashFromName(path.c_str()); });
}

void BM_StdStringHash(benchmark::State& state) {
  const auto paths = shuffled_paths(kAllRows);
  const std::hash<std::string> hasher;
  cycle(state, paths, [&](const std::string& path) { return hasher(path); });
}

void BM_TokenFromHash(benchmark::State& state) {
  const auto hashes = hashes_of(shuffled_paths(static_cast<int>(state.range(0))));
  cycle(state, hashes, [&](uint32_t hash) { return wGetTokenFromHash(hash); });
}

void BM_HashMapFind(benchmark::State& state) {
  const auto hashes = hashes_of(shuffled_paths(static_cast<int>(state.range(0))));
  std::unordered_map<uint32_t, uint32_t> map;
  for (int t = 1; t <= state.range(0) && t < wds_imax; ++t) map.emplace(wingdataset[t].hash, t);
  cycle(state, hashes, [&](uint32_t hash) { return map.find(hash)->second; });
}

// How many distinct keys the lookups cycle through: the dictionary always searches all its rows,
// so what grows is the share of the tables that the lookups keep in cache; the maps grow with it.
void KeyCounts(benchmark::internal::Benchmark* b) {
  for (int n : {16, 256, 4096, kAllRows}) b->Arg(n);
}

}  // namespace

BENCHMARK(BM_TokenFromName)->Apply(KeyCounts);
BENCHMARK(BM_StringMapFind)->Apply(KeyCounts);
BENCHMARK(BM_HashFromName);
BENCHMARK(BM_StdStringHash);
BENCHMARK(BM_TokenFromHash)->Apply(KeyCounts);
BENCHMARK(BM_HashMapFind)->Apply(KeyCounts);
