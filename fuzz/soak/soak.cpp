// Fault-injection soak: every library operation against mixsim, whose fault options are switched
// at random every round. Fails on a call that outlasts its bound, descriptors that do not return
// to their baseline after a reconnect, or resident memory that grows by more than 2 MiB from the
// first minute to the end; the sanitizers add their own reports.
//   mixlink_soak [--minutes M] [--seed S] [--round-seconds R]
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/meters.h>
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include "scripted_peer.h"
#include "sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// Blocking reads get this bound from the socket itself: a stalled peer then ends them.
constexpr int kBlockingBoundSeconds = 1;
constexpr int kTimeoutUs = 300000;
constexpr double kSchedulingSlack = 0.25;  // seconds

struct Stats {
  long calls = 0;
  long failures = 0;
  double worst_ratio = 0;  // longest call relative to its bound
  std::string worst_call;
  std::map<std::string, long> faults;
  std::map<std::string, long> results;
};

Stats stats;
std::mt19937 rng;

void fail(const std::string& what) {
  std::fprintf(stderr, "soak: FAIL %s\n", what.c_str());
  ++stats.failures;
}

// Runs one call and checks it came back within bound seconds.
template <class F>
int timed(const char* name, double bound, F&& call) {
  const auto t0 = Clock::now();
  const int r = call();
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  ++stats.calls;
  ++stats.results[std::string(name) + (r > 0 ? " ok" : r == 0 ? " none" : " error")];
  if (s / bound > stats.worst_ratio) {
    stats.worst_ratio = s / bound;
    stats.worst_call = name;
  }
  if (s > bound) fail(std::string(name) + " took " + std::to_string(s) + " s, bound " + std::to_string(bound));
  return r;
}

uint32_t random_row(int type) {
  for (;;) {
    const uint32_t t = 1 + rng() % (wds_imax - 1);
    if (type < 0 ? wGetType(t) >= 1 : wGetType(t) == type) return t;
  }
}

// The pacing mixsim was started with this round: --split sends replies in segments 5 ms apart,
// --latency delays each one. A container reply then takes time in proportion to its size.
int round_split = 0;
int round_latency_ms = 0;

// Bound of a container read of `leaves` leaves: twice the first bounded receive, the 1 s wait
// for a reply that stops short, and the time the round's pacing needs to deliver the reply.
double container_bound(int leaves) {
  const double bytes = 16.0 * leaves + 256;  // generous: entries are 6 to 263 bytes, most under 16
  const double pacing = round_split > 0 ? bytes / round_split * 0.005 : 0.0;
  return 2.0 * (kBlockingBoundSeconds + 1.0 + round_latency_ms / 1000.0 + pacing);
}

uint32_t small_container() {
  for (;;) {
    const uint32_t t = random_row(0);
    const int leaves = wNodeLeafCount(t);
    if (leaves > 0 && leaves < 400) return t;
  }
}

void bound_blocking_reads() {
  timeval tv{kBlockingBoundSeconds, 0};
  setsockopt(wing_tsocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (wing_msocket >= 0) setsockopt(wing_msocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

bool open_link() {
  char address[32] = "127.0.0.1";
  // wOpen's own wait for the first answer is 0.9 s; a reply delayed by latency may take longer.
  const int r = timed("wOpen", 3.0, [&] { return wOpen(address); });
  if (r != 1) return false;
  bound_blocking_reads();
  return true;
}

void one_operation() {
  // A timed read may end up to one time-out after its deadline (each receive waits the whole
  // time-out), so twice the time-out, plus a little for scheduling on a loaded machine.
  const double timed_bound = 2.0 * kTimeoutUs / 1e6 + kSchedulingSlack;
  // Blocking reads: one bounded receive, or 50 for the raw reads, plus the container reads'
  // 1 s waits for further blocks.
  const double blocking_bound = 2.0 * (kBlockingBoundSeconds + 1.0);
  switch (rng() % 12) {
    case 0: {
      int type = 0;
      w_value v{};
      const int r = timed("wGetTokenTimed", timed_bound, [&] { return wGetTokenTimed(random_row(-1), &type, &v, kTimeoutUs); });
      if (r == 1 && type == W_VALUE_STRING) std::free(v.s);
      break;
    }
    case 1: {
      int v = 0;
      timed("wGetTokenIntTimed", timed_bound, [&] { return wGetTokenIntTimed(random_row(W_INTEGER), &v, kTimeoutUs); });
      break;
    }
    case 2: {
      float v = 0;
      timed("wGetTokenFloatTimed", timed_bound, [&] { return wGetTokenFloatTimed(random_row(W_FLOAT), &v, kTimeoutUs); });
      break;
    }
    case 3: {
      char text[257];
      timed("wGetTokenStringTimed", timed_bound, [&] { return wGetTokenStringTimed(random_row(W_STRING), text, kTimeoutUs); });
      break;
    }
    case 4: {
      int length = 0;
      unsigned char* data = nullptr;
      const int r = timed("wGetTokenDef", blocking_bound * 8, [&] { return wGetTokenDef(random_row(-1), &length, &data); });
      if (r == 1) std::free(data);
      break;
    }
    case 5: {
      w_token_value recs[32];
      const int r = timed("wGetParsedEventsTimed", timed_bound, [&] { return wGetParsedEventsTimed(recs, 32, kTimeoutUs); });
      for (int i = 0; i < r; ++i) {
        if (recs[i].type == W_VALUE_STRING) std::free(recs[i].value.s);
      }
      break;
    }
    case 6: {
      const uint32_t box = small_container();
      std::vector<char> text(static_cast<size_t>(wNodeLeafCount(box)) * 400 + 1024);
      timed("wGetNode", container_bound(wNodeLeafCount(box)), [&] { return wGetNode(box, text.data(), text.size()); });
      break;
    }
    case 7: {
      const uint32_t box = small_container();
      const int leaves = wNodeLeafCount(box);
      std::vector<w_token_value> recs(static_cast<size_t>(leaves));
      const int r = timed("wGetNodeToTVArray", container_bound(leaves), [&] { return wGetNodeToTVArray(box, recs.data(), leaves); });
      for (int i = 0; i < r; ++i) {
        if (recs[static_cast<size_t>(i)].type == W_VALUE_STRING) std::free(recs[static_cast<size_t>(i)].value.s);
      }
      break;
    }
    case 8: {
      std::vector<unsigned char> buf(64 * 1024);
      const uint32_t t = rng() % 2 ? random_row(-1) : small_container();
      timed("wGetBinaryNode", 50.0 * kBlockingBoundSeconds * 2, [&] { return wGetBinaryNode(t, buf.data(), static_cast<int>(buf.size())); });
      break;
    }
    case 9: {
      unsigned char bitmap[29] = {};
      bitmap[rng() % 29] = static_cast<unsigned char>(rng());
      bitmap[20] |= 0x80;
      timed("wMeterUDPPort", 2.0, [] { return wMeterUDPPort(mixlink::kDefaultMeterPort); });
      bound_blocking_reads();
      timed("wSetMetersRequest", 2.0, [&] { return wSetMetersRequest(3, bitmap); });
      break;
    }
    case 10: {
      timed("wRenewMeters", 2.0, [] { return wRenewMeters(3); });
      unsigned char buf[256];
      if (wing_msocket >= 0) timed("wGetMeters", timed_bound, [&] { return wGetMeters(buf, sizeof buf, kTimeoutUs); });
      break;
    }
    case 11: {
      // Keep-alive, which reconnects after a failure, within 3 attempts of wOpen's bound.
      wnext = 0;
      timed("wKeepAlive", 3 * 3.0 + 1.0, [] { return wKeepAlive(); });
      bound_blocking_reads();
      break;
    }
  }
}

std::vector<std::string> random_faults() {
  std::vector<std::string> args{"--seed", std::to_string(rng() % 100000)};
  round_split = 0;
  round_latency_ms = 0;
  auto pick = [&](const char* name, std::vector<std::string> values = {}) -> int {
    if (rng() % 3 != 0) return 0;
    args.push_back(name);
    ++stats.faults[name];
    if (values.empty()) return 1;
    args.push_back(values[rng() % values.size()]);
    return std::atoi(args.back().c_str());
  };
  round_split = pick("--split", {"1", "2", "3", "5", "8"});
  round_latency_ms = pick("--latency", {"5", "50", "150"});
  pick("--close-after-seconds", {"2", "4"});
  pick("--close-after-bytes", {"200", "3000", "40000"});
  pick("--garbage");
  pick("--short-meters");
  pick("--long-meters");
  pick("--ignore-keepalive");
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 1;
  unsigned seed = static_cast<unsigned>(std::random_device{}());
  double round_seconds = 15;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--minutes")) minutes = std::atof(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--seed")) seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    else if (!std::strcmp(argv[i], "--round-seconds")) round_seconds = std::atof(argv[i + 1]);
  }
  std::printf("soak: seed %u, %.1f minutes (reproduce: --seed %u --minutes %g)\n", seed, minutes, seed, minutes);
  std::fflush(stdout);
  rng.seed(seed);

  const auto start = Clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  const double total = minutes * 60;
  const double mark_at = total >= 120 ? 60 : total / 3;  // "the first minute" of shorter runs
  long rss_mark = -1;
  long rounds = 0;
  long reconnects = 0;
  long fd_baseline = -1;

  while (elapsed() < total) {
    const std::vector<std::string> faults = random_faults();
    std::string line;
    for (const auto& a : faults) line += " " + a;
    std::printf("soak: round %ld at %.0f s: mixsim%s\n", rounds, elapsed(), line.c_str());
    std::fflush(stdout);
    mixtest::SimProcess sim(faults);
    if (!sim.ok()) {
      fail("mixsim did not come up");
      break;
    }
    const int fds = mixtest::open_fd_count();
    if (fd_baseline < 0) fd_baseline = fds;
    const double round_end = std::min(total, elapsed() + round_seconds);
    while (elapsed() < round_end) {
      if (wing_tsocket < 0 && !open_link()) {
        wClose();
        continue;
      }
      for (int i = 0; i < 20 && elapsed() < round_end; ++i) one_operation();
      if (rng() % 4 == 0) {
        wClose();
        ++reconnects;
        const int now = mixtest::open_fd_count();
        if (now != fds) fail("descriptors after a reconnect: " + std::to_string(now) + ", baseline " + std::to_string(fds));
      }
      if (rss_mark < 0 && elapsed() >= mark_at) rss_mark = mixtest::resident_kib();
    }
    wClose();
    if (mixtest::open_fd_count() != fds) fail("descriptors at the end of a round differ from the baseline");
    ++rounds;
  }
  const long rss_end = mixtest::resident_kib();
  std::printf("soak: %.1f minutes, %ld rounds, %ld calls, %ld reconnects, worst call %.0f%% of its bound (%s)\n",
              elapsed() / 60, rounds, stats.calls, reconnects, stats.worst_ratio * 100, stats.worst_call.c_str());
  std::printf("soak: faults injected (rounds):");
  for (const auto& [name, n] : stats.faults) std::printf(" %s=%ld", name.c_str(), n);
  std::printf("\nsoak: results:");
  for (const auto& [name, n] : stats.results) std::printf(" [%s]=%ld", name.c_str(), n);
  std::printf("\nsoak: RSS %ld KiB at %.0f s, %ld KiB at the end (growth %ld KiB, limit 2048); descriptors %ld\n",
              rss_mark, mark_at, rss_end, rss_end - rss_mark, fd_baseline);
  if (rss_mark > 0 && rss_end - rss_mark > 2048) fail("resident memory grew by more than 2 MiB");
  std::printf("soak: %s (seed %u)\n", stats.failures == 0 ? "PASS" : "FAIL", seed);
  return stats.failures == 0 ? 0 : 1;
}
