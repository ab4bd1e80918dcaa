// SPDX-License-Identifier: MIT
// Value-token decoding and container-dump composition over blocks built from the dictionary.
#include <benchmark/benchmark.h>

#include <mixlink/dictionary.h>
#include <mixlink/nodes.h>
#include <mixlink/values.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "replies.h"

namespace {

constexpr int kEvents = 1000;

void free_texts(w_token_value* records, int n) {
  for (int i = 0; i < n; ++i) {
    if (records[i].type == W_VALUE_STRING) {
      std::free(records[i].value.s);
      records[i].value.s = nullptr;
    }
  }
}

// Decoding alone: every value token of a block of mixed events, its strings freed again.
void BM_ParseToTV(benchmark::State& state) {
  const auto block = mixbench::event_block(kEvents, 1);
  const int length = static_cast<int>(block.size());
  for (auto _ : state) {
    for (int pos = 0; pos < length;) {
      w_token_value r{};
      const int next = wParseToTV(block.data(), pos + 5, &r, length);
      if (next <= 0) std::abort();
      if (r.type == W_VALUE_STRING) std::free(r.value.s);
      pos = next;
    }
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
  state.SetBytesProcessed(state.iterations() * length);
}

// The event walk: hash to token, value token to record, for the same block.
void BM_ParseEventBlock(benchmark::State& state) {
  const auto block = mixbench::event_block(kEvents, 1);
  std::vector<w_token_value> records(kEvents);
  for (auto _ : state) {
    const int n = wParseEventBlock(block.data(), static_cast<int>(block.size()), records.data(), kEvents);
    if (n != kEvents) std::abort();
    free_texts(records.data(), n);
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(block.size()));
}

// Value text of every leaf of "ch", token after token.
void BM_ParseToNodeCh(benchmark::State& state) {
  const auto reply = mixbench::container_reply(mixbench::token_of("ch"));
  const int length = static_cast<int>(reply.size());
  char text[W_VALUE_TEXT_SIZE];
  int64_t leaves = 0;
  for (auto _ : state) {
    for (int pos = 0; pos < length;) {
      pos = wParseToNode(nullptr, reply.data(), pos + 5, text, length);
      if (pos <= 0) std::abort();
      benchmark::DoNotOptimize(text);
      ++leaves;
    }
  }
  state.SetItemsProcessed(leaves);
}

// The whole dump of a container from its reply bytes: walk, value text and relative names.
// The argument is the leaf count asked for; the nearest container is used and its count reported.
void BM_ReplyToDump(benchmark::State& state) {
  const uint32_t container = state.range(0) == 11520 ? mixbench::token_of("ch")
                                                     : mixbench::container_near(static_cast<int>(state.range(0)));
  const auto reply = mixbench::container_reply(container);
  std::vector<char> text(64 * reply.size() + 1024);
  int n = 0;
  for (auto _ : state) {
    w_dump dump;
    wDumpStart(&dump, wGetName(container), text.data(), text.size());
    n = wReplyToDump(reply.data(), static_cast<int>(reply.size()), &dump);
    if (n <= 0 || wDumpFinish(&dump) != 1) std::abort();
  }
  state.counters["leaves"] = n;
  state.counters["reply_bytes"] = static_cast<double>(reply.size());
  state.SetItemsProcessed(state.iterations() * n);
}

// The records of a container from its reply bytes.
void BM_ReplyToTVArray(benchmark::State& state) {
  const uint32_t container = state.range(0) == 11520 ? mixbench::token_of("ch")
                                                     : mixbench::container_near(static_cast<int>(state.range(0)));
  const auto reply = mixbench::container_reply(container);
  std::vector<w_token_value> records(static_cast<size_t>(wNodeLeafCount(container)) + 1);
  int n = 0;
  for (auto _ : state) {
    n = wReplyToTVArray(reply.data(), static_cast<int>(reply.size()), records.data(), static_cast<int>(records.size()));
    if (n <= 0) std::abort();
    free_texts(records.data(), n);
  }
  state.counters["leaves"] = n;
  state.SetItemsProcessed(state.iterations() * n);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int n : {10, 100, 1000, 11520}) b->Arg(n);
}

}  // namespace

BENCHMARK(BM_ParseToTV);
BENCHMARK(BM_ParseEventBlock);
BENCHMARK(BM_ParseToNodeCh);
BENCHMARK(BM_ReplyToDump)->Apply(Sizes);
BENCHMARK(BM_ReplyToTVArray)->Apply(Sizes);
