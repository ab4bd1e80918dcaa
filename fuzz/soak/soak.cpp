// SPDX-License-Identifier: MIT
// Fault-injection soak: every library operation against mixsim, whose fault options are switched
// at random every round. Fails on a call that outlasts its bound, on a read that does not return
// its value in a round whose faults delay, split or put other traffic between replies but never
// close the connection, on descriptors that do not return to their baseline after a reconnect, or
// on resident memory that grows by more than 2 MiB from the first minute to the end; the
// sanitizers add their own reports.
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

#include "link/sockets.h"
#include "scripted_peer.h"
#include "sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// Blocking reads get this bound from the socket itself: a stalled peer then ends them.
constexpr int kBlockingBoundSeconds = 1;
constexpr int kBaseTimeoutUs = 300000;
// A value read in a round that keeps the connection must get its value: its time-out is long enough
// that only a lost reply, never a busy machine (sanitizers, two cores, other jobs), exhausts it.
constexpr int kValueTimeoutUs = 2000000;
constexpr double kDeadlineGrace = 0.05;   // what a timed read may take beyond its time-out
constexpr double kSchedulingSlack = 0.5;  // seconds a busy machine may keep a finished call from returning

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

// This round's faults only delay, split or put traffic between replies: every read must then
// return its value. round_garbage: another node's entry may come in front of a reply, which ends
// a raw value read by its rule.
bool round_keeps_connection = false;
bool round_garbage = false;

double last_call_seconds = 0;  // how long the latest timed() call took

// Checks a result against what the round promises; ok tells whether it is a value.
void expect_value(const char* name, int r, bool ok) {
  if (!round_keeps_connection || ok) return;
  fail(std::string(name) + " gave " + std::to_string(r) + " after " + std::to_string(last_call_seconds) +
       " s in a round that keeps the connection");
}

// Runs one call and checks it came back within bound seconds.
template <class F>
int timed(const char* name, double bound, F&& call) {
  const auto t0 = Clock::now();
  const int r = call();
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  last_call_seconds = s;
  ++stats.calls;
  ++stats.results[std::string(name) + (r > 0 ? " ok" : r == 0 ? " none" : " error")];
  if (s / bound > stats.worst_ratio) {
    stats.worst_ratio = s / bound;
    stats.worst_call = name;
  }
  if (s > bound) fail(std::string(name) + " took " + std::to_string(s) + " s, bound " + std::to_string(bound));
  return r;
}

// --ignore-keepalive: mixsim answers no read of the node the keep-alive reads, so the round reads
// every other node but that one.
bool round_ignores_keepalive = false;

uint32_t random_row(int type) {
  for (;;) {
    const uint32_t t = 1 + rng() % (wds_imax - 1);
    if (round_ignores_keepalive && wingdataset[t].hash == mixlink::kKeepAliveHash) continue;
    if (type < 0 ? wGetType(t) >= 1 : wGetType(t) == type) return t;
  }
}

// The pacing mixsim was started with this round: --split sends replies in segments 5 ms apart,
// --latency delays each one. A container reply then takes time in proportion to its size.
int round_split = 0;
int round_latency_ms = 0;

// Time the round's pacing needs to deliver `bytes` bytes of reply (5 ms per segment with
// --split), behind its latency, the junk that --garbage sends 20 ms ahead and a keep-alive answer
// that may be queued in front.
double delivery_seconds(double bytes) {
  const double pacing = round_split > 0 ? (bytes + 64) / round_split * 0.005 : 0.0;
  return round_latency_ms / 1000.0 + pacing + (round_garbage ? 0.05 : 0.0);
}

// The time-out of a timed read this round: long enough for the longest value reply to arrive.
int timeout_us() {
  const int base = round_keeps_connection ? kValueTimeoutUs : kBaseTimeoutUs;
  return base + static_cast<int>(delivery_seconds(270) * 1e6);
}

double timed_bound(int timeout) { return timeout / 1e6 + kDeadlineGrace + kSchedulingSlack; }

// Reply bytes of a container of `leaves` leaves, generously: entries are 6 to 263 bytes, most
// under 16.
double container_bytes(int leaves) { return 16.0 * leaves + 256; }

// Bound of an untimed container read: twice the first bounded receive, the 1 s wait for a reply
// that stops short, and the time the round's pacing needs to deliver the reply.
double container_bound(int leaves) {
  return 2.0 * (kBlockingBoundSeconds + 1.0 + delivery_seconds(container_bytes(leaves)));
}

// A container small enough for the round's pacing to deliver within a few seconds.
uint32_t small_container() {
  const int most = round_split > 0 ? 40 * round_split : 400;
  for (;;) {
    const uint32_t t = random_row(0);
    const int leaves = wNodeLeafCount(t);
    if (leaves > 0 && leaves < most) return t;
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
  expect_value("wOpen", r, r == 1);
  if (r != 1) return false;
  bound_blocking_reads();
  return true;
}

void one_operation() {
  const int timeout = timeout_us();
  const double bound = timed_bound(timeout);
  switch (rng() % 12) {
    case 0: {
      int type = 0;
      w_value v{};
      const int r = timed("wGetTokenTimed", bound, [&] { return wGetTokenTimed(random_row(-1), &type, &v, timeout); });
      if (r == 1 && type == W_VALUE_STRING) std::free(v.s);
      expect_value("wGetTokenTimed", r, r == 1 || (r == 0 && round_garbage));
      break;
    }
    case 1: {
      int v = 0;
      const int r = timed("wGetTokenIntTimed", bound, [&] { return wGetTokenIntTimed(random_row(W_INTEGER), &v, timeout); });
      expect_value("wGetTokenIntTimed", r, r == 1 || r == -1);  // -1: the value is a node hash
      break;
    }
    case 2: {
      float v = 0;
      const int r = timed("wGetTokenFloatTimed", bound, [&] { return wGetTokenFloatTimed(random_row(W_FLOAT), &v, timeout); });
      expect_value("wGetTokenFloatTimed", r, r == 1 || r == -1);
      break;
    }
    case 3: {
      char text[257] = "?";
      const int r = timed("wGetTokenStringTimed", bound, [&] { return wGetTokenStringTimed(random_row(W_STRING), text, timeout); });
      expect_value("wGetTokenStringTimed", r, r == 1 || (r == 0 && text[0] == '\0'));  // or the empty string
      break;
    }
    case 4: {
      int length = 0;
      unsigned char* data = nullptr;
      const int r = timed("wGetTokenDefTimed", bound, [&] { return wGetTokenDefTimed(random_row(-1), &length, &data, timeout); });
      if (r == 1) std::free(data);
      expect_value("wGetTokenDefTimed", r, r == 1);
      break;
    }
    case 5: {
      w_token_value recs[32];
      // No event is due (mixsim animates nothing here): the short time-out keeps the soak busy.
      const int t = kBaseTimeoutUs;
      const int r = timed("wGetParsedEventsTimed", timed_bound(t), [&] { return wGetParsedEventsTimed(recs, 32, t); });
      for (int i = 0; i < r; ++i) {
        if (recs[i].type == W_VALUE_STRING) std::free(recs[i].value.s);
      }
      break;
    }
    case 6: {
      const uint32_t box = small_container();
      std::vector<char> text(static_cast<size_t>(wNodeLeafCount(box)) * 400 + 1024);
      const int r = timed("wGetNode", container_bound(wNodeLeafCount(box)), [&] { return wGetNode(box, text.data(), text.size()); });
      expect_value("wGetNode", r, r == 1);
      break;
    }
    case 7: {
      const uint32_t box = small_container();
      const int leaves = wNodeLeafCount(box);
      const int t = timeout + static_cast<int>(delivery_seconds(container_bytes(leaves)) * 1e6);
      std::vector<w_token_value> recs(static_cast<size_t>(leaves));
      const int r = timed("wGetNodeToTVArrayTimed", timed_bound(t), [&] { return wGetNodeToTVArrayTimed(box, recs.data(), leaves, t); });
      for (int i = 0; i < r; ++i) {
        if (recs[static_cast<size_t>(i)].type == W_VALUE_STRING) std::free(recs[static_cast<size_t>(i)].value.s);
      }
      expect_value("wGetNodeToTVArrayTimed", r, r == leaves);
      break;
    }
    case 8: {
      std::vector<unsigned char> buf(64 * 1024);
      const uint32_t box = rng() % 2 ? random_row(-1) : small_container();
      const int t = timeout + static_cast<int>(delivery_seconds(container_bytes(wNodeLeafCount(box))) * 1e6);
      const int r = timed("wGetBinaryNodeTimed", timed_bound(t), [&] { return wGetBinaryNodeTimed(box, buf.data(), static_cast<int>(buf.size()), t); });
      expect_value("wGetBinaryNodeTimed", r, r > 0);
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
      if (wing_msocket >= 0) timed("wGetMeters", bound, [&] { return wGetMeters(buf, sizeof buf, kBaseTimeoutUs); });
      break;
    }
    case 11: {
      // Keep-alive, which reconnects after a failure, within 3 attempts of wOpen's bound.
      wnext = 0;
      const int r = timed("wKeepAlive", 3 * 3.0 + 1.0, [] { return wKeepAlive(); });
      bound_blocking_reads();
      expect_value("wKeepAlive", r, r == 1);
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
  const int close_seconds = pick("--close-after-seconds", {"2", "4"});
  const int close_bytes = pick("--close-after-bytes", {"200", "3000", "40000"});
  round_keeps_connection = close_seconds == 0 && close_bytes == 0;
  round_garbage = pick("--garbage") > 0;
  pick("--short-meters");
  pick("--long-meters");
  round_ignores_keepalive = pick("--ignore-keepalive") > 0;
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
