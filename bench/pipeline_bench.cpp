// SPDX-License-Identifier: MIT
// Reading 200 leaves through a console 20 ms away (mixsim --latency 20, started by this process on
// a loopback address of its own): one request and one round trip at a time, against the requests
// pipelined in windows, matched to their replies by node hash.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mixlink/mixlink.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr const char* kAddress = "127.0.0.5";
constexpr int kLeaves = 200;
constexpr int kTimeoutUs = 10000000;

w_link* g_link = nullptr;
std::vector<uint32_t> g_tokens;

pid_t start_sim() {
  const pid_t pid = fork();
  if (pid == 0) {
    execl(MIXSIM_EXECUTABLE, MIXSIM_EXECUTABLE, "--bind", kAddress, "--quiet", "--latency", "20",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

void free_text(const w_token_value& r) {
  if (r.type == W_VALUE_STRING) std::free(r.value.s);
}

void BM_OneAtATime200(benchmark::State& state) {
  for (auto _ : state) {
    for (uint32_t token : g_tokens) {
      w_token_value r{token, 0, {0}};
      if (wLinkGetTokenTimed(g_link, token, &r.type, &r.value, kTimeoutUs) != 1) {
        state.SkipWithError("a read failed");
        return;
      }
      free_text(r);
    }
  }
}

void BM_Pipelined200(benchmark::State& state) {
  std::vector<w_token_value> records(g_tokens.size());
  for (auto _ : state) {
    if (wLinkGetTokensTimed(g_link, g_tokens.data(), kLeaves, records.data(), kTimeoutUs) != kLeaves) {
      state.SkipWithError("the pipelined read fell short");
      return;
    }
    for (const w_token_value& r : records) free_text(r);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const pid_t sim = start_sim();
  g_link = wLinkNew();
  int opened = 0;
  for (int i = 0; i < 300 && opened != W_SUCCESS; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    char address[16];
    std::snprintf(address, sizeof address, "%s", kAddress);
    opened = wLinkOpen(g_link, address);
  }
  // The leaves of the first channel strips, the kind of set a script compares between consoles.
  for (uint32_t t = wGetTokenFromName("ch.1"); static_cast<int>(g_tokens.size()) < kLeaves; ++t)
    if (wGetType(t) != W_CONTAINER) g_tokens.push_back(t);
  if (opened == W_SUCCESS) {
    benchmark::RegisterBenchmark("BM_OneAtATime200", BM_OneAtATime200)->Unit(benchmark::kMillisecond)->Iterations(2);
    benchmark::RegisterBenchmark("BM_Pipelined200", BM_Pipelined200)->Unit(benchmark::kMillisecond)->Iterations(20);
    benchmark::RunSpecifiedBenchmarks();
  } else {
    std::fprintf(stderr, "bench_pipeline: no mixsim on %s\n", kAddress);
  }
  wLinkFree(g_link);
  if (sim > 0) {
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
  }
  benchmark::Shutdown();
  return opened == W_SUCCESS ? 0 : 1;
}
