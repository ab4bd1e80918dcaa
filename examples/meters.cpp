// SPDX-License-Identifier: MIT
// Subscribes to the console's real-time analyser and prints, for each meter datagram, the loudest
// of its 120 bands.
//
//   meters ADDRESS [COUNT [PORT]]      meters 127.0.0.1 20
//
// COUNT datagrams (default 10) arrive at this host's UDP port PORT (default 10026). An empty
// ADDRESS ("") finds the console by a broadcast on the local network.
#include <mixlink/mixlink.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: meters ADDRESS [COUNT [PORT]]\n");
    return 2;
  }
  const int count = argc > 2 ? std::atoi(argv[2]) : 10;
  const int port = argc > 3 ? std::atoi(argv[3]) : mixlink::kDefaultMeterPort;
  if (count < 1 || port < 1 || port > 65535) {
    std::fprintf(stderr, "meters: COUNT must be positive and PORT from 1 to 65535\n");
    return 2;
  }
  char address[64];
  std::snprintf(address, sizeof address, "%s", argv[1]);
  const int opened = wOpen(address);
  if (opened != 1) {
    std::fprintf(stderr, "meters: cannot connect (%d)\n", opened);
    return 1;
  }

  // Tell the console where to send the datagrams, then subscribe to the analyser's block alone.
  constexpr int kCollection = 1;
  unsigned char selection[32] = {};
  selection[mixlink::kRtaBitmapRow] = mixlink::kRtaBitmapBit;
  if (wMeterUDPPort(port) != 1 || wSetMetersRequest(kCollection, selection) != 1) {
    std::fprintf(stderr, "meters: subscription failed\n");
    wClose();
    return 1;
  }

  // A subscription lapses unless it is renewed every few seconds; the monotonic clock times it,
  // so a step of the wall clock neither stops nor rushes the renewals.
  using clock = std::chrono::steady_clock;
  constexpr auto kRenewEvery = std::chrono::seconds(5);
  clock::time_point renewed = clock::now();
  int seen = 0, idle = 0;
  unsigned char datagram[256];
  while (seen < count) {
    if (clock::now() - renewed >= kRenewEvery) {
      wRenewMeters(kCollection);
      renewed = clock::now();
    }
    const int n = wGetMeters(datagram, sizeof datagram, 500000);  // wait at most 0.5 s
    if (n < 0 || (n == 0 && ++idle == 10)) {
      std::fprintf(stderr, "meters: no datagrams (%d)\n", n);
      wClose();
      return 1;
    }
    int16_t values[mixlink::kRtaValues];
    if (wRtaValues(datagram, n, values) != 1) continue;  // not a whole block
    idle = 0;
    int loudest = 0, level = INT16_MIN;
    for (int band = 0; band < mixlink::kRtaValues; ++band) {
      if (values[band] > level) {
        level = values[band];
        loudest = band;
      }
    }
    std::printf("datagram %d: %d bytes, loudest band %d at %d\n", ++seen, n, loudest, level);
  }
  wClose();
  return 0;
}
