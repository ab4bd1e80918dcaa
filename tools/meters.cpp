// SPDX-License-Identifier: MIT
// mixlink meters: the RTA meter datagrams as hex or as a bar chart, recorded to a pcap file, or a
// recording printed back as CSV.
#include <mixlink/link.h>
#include <mixlink/meters.h>
#include <mixlink/protocol.h>
#include <mixlink/recording.h>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define STDOUT_FILENO 1
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command.h"
#include "console.h"
#include "meter_recording.h"
#include "output.h"

namespace mixtool {

namespace {

// What `mixlink meters --help` prints.
constexpr char kHelp[] = R"(usage: mixlink [-a ADDRESS] meters [--rta] [--count N] [--for SECONDS] [--port PORT] [--record FILE]
       mixlink meters --replay FILE --csv [--port PORT]
Subscribes to the RTA meter block and prints each datagram as LENGTH<TAB>HEX.
--rta        show the 120 RTA values as a bar chart (redrawn in place on a
             terminal, one line per datagram otherwise), as wide as the
             terminal (COLUMNS, else 80) with neighbouring bands merged;
             120 columns when not on a terminal and COLUMNS is not set
--count N    stop after N datagrams
--for SECONDS  stop after SECONDS seconds (a decimal number)
--port PORT  local UDP port for the datagrams (default 10026)
--record FILE  write every datagram to FILE (a pcap file) instead of printing it
             (--rta still draws the chart)
--replay FILE --csv  print the RTA datagrams to PORT in the recording FILE, one
             line each: seconds since the first, then the 120 values; no console
)";

constexpr int kMeterId = 3;
constexpr int kRenewSeconds = 5;
constexpr int kPollUs = 500000;  // how long a read waits before looking around

constexpr Option kOptions[] = {{"--rta", nullptr},    {"--count", "N"},      {"--for", "SECONDS"}, {"--port", "PORT"},
                               {"--record", "FILE"}, {"--replay", "FILE"}, {"--csv", nullptr}};

// The columns the chart may take: a terminal's width (less one, so that redrawing in place never
// wraps), else COLUMNS, else 80 on a terminal and every band elsewhere.
int chart_width(bool tty) {
  long columns = 0;
#ifndef _WIN32
  winsize size{};
  if (tty && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) columns = size.ws_col;
#endif
  if (columns == 0) {
    const char* env = std::getenv("COLUMNS");
    if (env != nullptr && !whole_number(env, 1, 100000, &columns)) columns = 0;
  }
  if (columns == 0) columns = tty ? 80 : mixlink::kRtaValues;
  if (tty && columns > 1) --columns;
  return static_cast<int>(std::clamp<long>(columns, 1, mixlink::kRtaValues));
}

// One text line of the 120 RTA values in width characters: each character the loudest of its
// bands, taller glyphs for higher levels.
std::string rta_line(const unsigned char* datagram, int length, int width) {
  static const char kLevels[] = " .:-=+*#%@";
  constexpr int kTop = static_cast<int>(sizeof kLevels) - 2;
  int16_t values[mixlink::kRtaValues];
  // A datagram without a whole RTA block draws no chart: a line of its own says so.
  if (wRtaValues(datagram, length, values) != 1) return "(" + std::to_string(length) + " bytes: no RTA block)";
  std::string line;
  for (int column = 0; column < width; ++column) {
    int level = 0;
    for (int i = column * mixlink::kRtaValues / width; i < (column + 1) * mixlink::kRtaValues / width; ++i)
      level = std::max(level, std::clamp(static_cast<int>(std::lround(wRtaLevel(values[i]) * kTop)), 0, kTop));
    line += kLevels[level];
  }
  return line;
}

// Tells the console where meter datagrams go and subscribes to the RTA block.
bool subscribe(long port) {
  if (wMeterUDPPort(static_cast<int>(port)) != 1) {
    std::fprintf(stderr, "mixlink: cannot open the meter port %ld\n", port);
    return false;
  }
  unsigned char bitmap[32] = {};
  bitmap[mixlink::kRtaBitmapRow] = mixlink::kRtaBitmapBit;
  if (wSetMetersRequest(kMeterId, bitmap) != 1) {
    std::fprintf(stderr, "mixlink: meter subscription failed\n");
    return false;
  }
  return true;
}

int cannot_write(const std::string& file) {
  std::fprintf(stderr, "mixlink: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
  return kExitFail;
}

int run(const Invocation& call) {
  long count = -1, port = mixlink::kDefaultMeterPort;
  if (int u = number_option(call, "--count", 1, 1000000000, &count)) return u;
  if (int u = number_option(call, "--port", 1, 65535, &port)) return u;
  double seconds = 0;
  if (int u = seconds_option(call, "--for", &seconds)) return u;
  const bool rta = call.has("--rta"), csv = call.has("--csv");
  const std::string record = call.value("--record"), replay = call.value("--replay");
  if (csv != call.has("--replay") ||
      (call.has("--replay") && (rta || call.has("--record") || call.has("--count") || call.has("--for"))))
    return usage_error(call, "--replay FILE and --csv go together, without --rta, --record, --count or --for");
  if (call.has("--replay")) return replay_csv(replay, static_cast<int>(port));

  MeterRecording recording;
  if (call.has("--record") && !recording.open(record)) return cannot_write(record);
  Session session;
  if (!session.open(call.address, call.timeout_us())) return kExitFail;
  if (!subscribe(port)) return kExitFail;
  const bool tty = rta && isatty(STDOUT_FILENO);
  const int width = rta ? chart_width(tty) : 0;
  // Renewals run on the monotonic clock: a step of the wall clock must not stop or rush them.
  using clock = std::chrono::steady_clock;
  clock::time_point renewed = clock::now();
  const clock::time_point end =
      renewed + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
  // Room for the largest UDP datagram, so that none is cut short, whatever the console sends.
  static unsigned char datagram[W_PCAP_MAX_PAYLOAD];
  unsigned char scratch[4096];
  long seen = 0;
  while (!interrupted() && (count < 0 || seen < count)) {
    const clock::time_point now = clock::now();
    if (seconds > 0 && now >= end) break;
    if (now - renewed >= std::chrono::seconds(kRenewSeconds)) {
      wRenewMeters(kMeterId);
      renewed = now;
    }
    // The datagrams come by UDP; the TCP side is read (and its keep-alive answers dropped) only
    // to notice when the console goes.
    wRecv(scratch, sizeof scratch, 1);
    if (!console_alive()) return kExitFail;
    // A keep-alive that had to reconnect has dropped the meter socket with the old connection.
    if (wMeterSocket() == W_NO_SOCKET && !subscribe(port)) return kExitFail;
    uint32_t sender = 0;
    int wait_us = kPollUs;
    if (seconds > 0)
      wait_us = static_cast<int>(std::clamp<long long>(
          std::chrono::duration_cast<std::chrono::microseconds>(end - now).count(), 1, kPollUs));
    const int n = wMRecvFrom(datagram, static_cast<int>(sizeof datagram), wait_us, &sender);
    if (n < 0) {
      if (interrupted()) break;
      std::fprintf(stderr, "mixlink: meter read failed: %s (%d)\n", wResultText(n), n);
      return kExitFail;
    }
    if (n == 0) continue;
    ++seen;
    if (recording.isOpen() && !recording.add(datagram, n, sender, static_cast<int>(port))) return cannot_write(record);
    if (recording.isOpen() && !rta) {
      // Recorded, not printed.
    } else if (!rta) {
      std::printf("%d\t%s\n", n, hex_text(datagram, static_cast<size_t>(n)).c_str());
    } else if (tty) {
      std::printf("\r%s", rta_line(datagram, n, width).c_str());
    } else {
      std::printf("%s\n", rta_line(datagram, n, width).c_str());
    }
    if (output_flow() != Flow::open) return kExitOk;
  }
  if (tty) std::printf("\n");
  if (recording.isOpen() && !recording.close()) return cannot_write(record);
  if (call.has("--record")) std::fprintf(stderr, "mixlink: %ld datagrams recorded in %s\n", recording.count(), record.c_str());
  return kExitOk;
}

}  // namespace

extern const Command kMeters{.name = "meters",
                             .summary = "print meter datagrams [--rta] [--count N] [--for SECONDS]\n"
                                        "[--port PORT] [--record FILE],\n"
                                        "or a recording's RTA as CSV: --replay FILE --csv [--port PORT]",
                             .help = kHelp, .options = kOptions, .run = run, .endless = true};

}  // namespace mixtool
