// SPDX-License-Identifier: MIT
// Runs the feedback sentinel over recordings with a range of rules, to choose the rule's numbers.
//
//   sentinel_scan FILE[:BAND]...
//
// A FILE is a recording of mixsim's meters (mixlink meters --record); BAND names the band that
// mixsim's --feedback let ring in it, which then builds up in every 20 s from second 5 on
// (counted from the recording's first datagram, so latencies come out a little long). For each
// rule the scan prints how often a band was flagged that does not ring (false flags), how many
// feedback periods went unflagged, and the longest time from a period's start to its flag.
#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sentinel.h"
#include "show.h"

namespace {

using namespace bandscope;

constexpr Micros kCycle = 20 * kSecond;
constexpr Micros kCycleStart = 5 * kSecond;
constexpr Micros kCycleEnd = 15 * kSecond;

struct Recording {
  std::string name;
  int band = -1;
  std::vector<MeterDatagram> datagrams;
};

struct Outcome {
  int false_flags = 0;
  int missed = 0;
  int cycles = 0;
  Micros worst = 0;
};

// Counts into o; names each false flag when verbose.
void scan(const Recording& r, const SentinelRule& rule, bool verbose, Outcome* o) {
  FeedbackSentinel s(rule);
  std::vector<bool> was(kBarCount, false);
  const Micros t0 = r.datagrams.front().at;
  std::vector<Micros> flagged_in_cycle;
  int16_t values[kBarCount];
  for (const MeterDatagram& d : r.datagrams) {
    if (!valuesOf(d, values)) continue;  // no whole RTA block: never drawn
    s.addValues(values, d.at);
    const Micros t = d.at - t0;
    const auto cycle = static_cast<size_t>(t / kCycle);
    if (flagged_in_cycle.size() <= cycle) flagged_in_cycle.resize(cycle + 1, -1);
    for (int b = 0; b < kBarCount; ++b) {
      const bool now = s.ringing(b);
      if (now && !was[static_cast<size_t>(b)]) {
        if (b != r.band) {
          ++o->false_flags;
          if (verbose) std::printf("  %s: band %d flagged at %.1f s\n", r.name.c_str(), b, static_cast<double>(t) / kSecond);
        } else if (t % kCycle >= kCycleStart && flagged_in_cycle[cycle] < 0) {
          flagged_in_cycle[cycle] = t % kCycle - kCycleStart;
        }
      }
      was[static_cast<size_t>(b)] = now;
    }
  }
  if (r.band < 0) return;
  const Micros span = r.datagrams.back().at - t0;
  for (size_t c = 0; c < flagged_in_cycle.size(); ++c) {
    if (static_cast<Micros>(c) * kCycle + kCycleEnd > span) break;  // a period the recording cut
    ++o->cycles;
    if (flagged_in_cycle[c] < 0) {
      ++o->missed;
    } else {
      o->worst = std::max(o->worst, flagged_in_cycle[c]);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Recording> recordings;
  for (int i = 1; i < argc; ++i) {
    Recording r;
    std::string arg = argv[i];
    const size_t colon = arg.rfind(':');
    if (colon != std::string::npos) {
      r.band = std::atoi(arg.c_str() + colon + 1);
      arg.resize(colon);
    }
    r.name = arg;
    std::ifstream in(arg, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string why = readRecording(bytes, 10026, &r.datagrams);
    if (r.datagrams.empty()) {
      std::fprintf(stderr, "sentinel_scan: %s: %s\n", arg.c_str(), why.empty() ? "no datagrams" : why.c_str());
      return 1;
    }
    recordings.push_back(std::move(r));
  }
  if (recordings.empty()) {
    std::fputs("usage: sentinel_scan FILE[:BAND]...\n", stderr);
    return 2;
  }
  std::printf("smoothing_ms own_average_s above_neighbours above_average rise above_adjacent: false_flags "
              "missed/cycles "
              "worst_latency_s\n");
  const SentinelRule chosen;
  for (double rise : {300.0, 500.0})
  for (double adjacent : {0.0, 300.0, 600.0, 900.0})
  for (Micros smoothing : {150000, 250000})
    for (Micros own : {1000000, 2000000, 4000000})
      for (double neighbours : {600.0, 900.0})
        for (double average : {300.0, 350.0, 400.0, 500.0}) {
          SentinelRule rule = chosen;
          rule.rise = rise;
          rule.above_adjacent = adjacent;
          rule.smoothing = smoothing;
          rule.own_average = own;
          rule.above_neighbours = neighbours;
          rule.above_average = average;
          const bool is_chosen = rise == chosen.rise && adjacent == chosen.above_adjacent && smoothing == chosen.smoothing && own == chosen.own_average &&
                                 neighbours == chosen.above_neighbours && average == chosen.above_average;
          Outcome o;
          for (const Recording& r : recordings) {
            Outcome one;
            scan(r, rule, is_chosen, &one);
            if (is_chosen)
              std::printf("  %s: %d false flags, %d/%d periods missed, latest flag %.2f s\n", r.name.c_str(),
                          one.false_flags, one.missed, one.cycles, static_cast<double>(one.worst) / kSecond);
            o.false_flags += one.false_flags;
            o.missed += one.missed;
            o.cycles += one.cycles;
            o.worst = std::max(o.worst, one.worst);
          }
          std::printf("%4lld %2lld %5.0f %5.0f %5lld %4.0f: %3d %d/%d %.2f%s\n", static_cast<long long>(smoothing / 1000),
                      static_cast<long long>(own / kSecond), neighbours, average,
                      static_cast<long long>(rule.rise), adjacent, o.false_flags, o.missed, o.cycles,
                      static_cast<double>(o.worst) / kSecond, is_chosen ? "  <- the default" : "");
        }
  return 0;
}
