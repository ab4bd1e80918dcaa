// SPDX-License-Identifier: MIT
// The recording reader: any bytes give either a refusal of the header or a walk over records
// that moves forward, ends, and hands out payloads inside the bytes; every datagram found,
// written again, reads back the same; and its payload as a meter datagram gives RTA values only
// when it holds the whole block.
#include <mixlink/meters.h>
#include <mixlink/protocol.h>
#include <mixlink/recording.h>

#include <algorithm>
#include <vector>

#include "fuzz_support.h"

using mixfuzz::ExactBuffer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > mixfuzz::kMaxInput) return 0;
  ExactBuffer file(data, size);
  const int n = file.size();
  w_pcap_file f{};
  const int header = wPcapReadFileHeader(file.data(), n, &f);
  FUZZ_CHECK(header == W_PCAP_FILE_HEADER || header == W_PCAP_CUT || header == W_PCAP_NOT_PCAP ||
             header == W_PCAP_LINK_TYPE);
  if (header != W_PCAP_FILE_HEADER) return 0;
  int at = W_PCAP_FILE_HEADER;
  w_pcap_datagram d{};
  std::vector<unsigned char> again;
  for (;;) {
    const int next = wPcapReadDatagram(&f, file.data(), n, at, &d);
    FUZZ_CHECK(next == 0 || next == W_PCAP_CUT || next == W_PCAP_BAD_RECORD || next > at);
    if (next <= 0) break;
    FUZZ_CHECK(next <= n);
    FUZZ_CHECK(d.offset > at && d.length >= 0 && d.offset + d.length <= next);
    FUZZ_CHECK(d.microseconds <= 999999);
    // Each payload as a meter datagram: its RTA values only when it holds the whole block.
    int16_t values[W_RTA_VALUES];
    FUZZ_CHECK(wRtaValues(file.data() + d.offset, d.length, values) == (d.length >= W_RTA_BYTES ? 1 : 0));

    again.assign(static_cast<size_t>(W_PCAP_FILE_HEADER + W_PCAP_RECORD_HEADER + W_PCAP_PACKET_HEADERS + d.length), 0);
    FUZZ_CHECK(wPcapWriteFileHeader(again.data(), W_PCAP_FILE_HEADER) == W_PCAP_FILE_HEADER);
    const int size_again = static_cast<int>(again.size());
    FUZZ_CHECK(wPcapWriteDatagram(&d, file.data() + d.offset, again.data() + W_PCAP_FILE_HEADER,
                                  size_again - W_PCAP_FILE_HEADER) == size_again - W_PCAP_FILE_HEADER);
    w_pcap_file f2{};
    w_pcap_datagram d2{};
    FUZZ_CHECK(wPcapReadFileHeader(again.data(), size_again, &f2) == W_PCAP_FILE_HEADER);
    FUZZ_CHECK(wPcapReadDatagram(&f2, again.data(), size_again, W_PCAP_FILE_HEADER, &d2) == size_again);
    FUZZ_CHECK(d2.seconds == d.seconds && d2.microseconds == d.microseconds && d2.source == d.source &&
               d2.destination == d.destination && d2.source_port == d.source_port &&
               d2.destination_port == d.destination_port && d2.length == d.length);
    FUZZ_CHECK(std::equal(again.begin() + d2.offset, again.begin() + d2.offset + d2.length, file.data() + d.offset));
    at = next;
  }
  return 0;
}
