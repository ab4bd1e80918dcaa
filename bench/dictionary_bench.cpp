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

void BM_TokenFromName(benchmark::State& state) {
  const auto paths = shuffled_paths(static_cast<int>(state.range(0)));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(wGetTokenFromName(paths[i].c_str()));
    if (++i == paths.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

// The baseline is handed ready-made std::string keys, so it pays no construction per lookup.
void BM_StringMapFind(benchmark::State& state) {
  const auto paths = shuffled_paths(static_cast<int>(state.range(0)));
  std::unordered_map<std::string, uint32_t> map;
  for (int t = 1; t <= state.range(0) && t < wds_imax; ++t) map.emplace(wingdataset[t].path, t);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.find(paths[i])->second);
    if (++i == paths.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_HashFromName(benchmark::State& state) {
  const auto paths = shuffled_paths(kAllRows);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(wGetHashFromName(paths[i].c_str()));
    if (++i == paths.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_StdStringHash(benchmark::State& state) {
  const auto paths = shuffled_paths(kAllRows);
  const std::hash<std::string> hasher;
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(hasher(paths[i]));
    if (++i == paths.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TokenFromHash(benchmark::State& state) {
  const auto hashes = hashes_of(shuffled_paths(static_cast<int>(state.range(0))));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(wGetTokenFromHash(hashes[i]));
    if (++i == hashes.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_HashMapFind(benchmark::State& state) {
  const auto hashes = hashes_of(shuffled_paths(static_cast<int>(state.range(0))));
  std::unordered_map<uint32_t, uint32_t> map;
  for (int t = 1; t <= state.range(0) && t < wds_imax; ++t) map.emplace(wingdataset[t].hash, t);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.find(hashes[i])->second);
    if (++i == hashes.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
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
