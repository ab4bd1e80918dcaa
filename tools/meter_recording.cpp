// SPDX-License-Identifier: MIT
#include "meter_recording.h"

#include <mixlink/meters.h>
#include <mixlink/protocol.h>
#include <mixlink/recording.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace mixtool {

bool MeterRecording::open(const std::string& path) {
  close();
  writer_ = wPcapCreate(path.c_str());
  ok_ = writer_ != nullptr;
  count_ = 0;
  return ok_;
}

bool MeterRecording::add(const unsigned char* data, int length, uint32_t source, int port) {
  if (writer_ == nullptr || !ok_) return false;
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  w_pcap_datagram d{};
  d.seconds = static_cast<uint32_t>(now / 1000000);
  d.microseconds = static_cast<uint32_t>(now % 1000000);
  d.source = wAddressNumber(source);
  d.destination = 0;  // this host: the meter socket listens on every address
  d.source_port = mixlink::kNativePort;
  d.destination_port = port;
  d.length = length;
  ok_ = wPcapAppend(writer_, &d, data) > 0;
  // A recording cut by a crash keeps every datagram up to the last second.
  if (ok_ && ++count_ % 20 == 0) ok_ = wPcapFlush(writer_) == 1;
  return ok_;
}

bool MeterRecording::close() {
  if (writer_ == nullptr) return ok_;
  ok_ = wPcapClose(writer_) == 1 && ok_;
  writer_ = nullptr;
  return ok_;
}

std::string rta_csv_line(double seconds, const int16_t* values) {
  char field[32];
  std::snprintf(field, sizeof field, "%.6f", seconds);
  std::string line = field;
  for (int i = 0; i < mixlink::kRtaValues; ++i) {
    std::snprintf(field, sizeof field, ",%d", values[i]);
    line += field;
  }
  line += '\n';
  return line;
}

int replay_csv(const std::string& path, int port) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "mixlink: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) {
    std::fprintf(stderr, "mixlink: %s: larger than 2 GiB\n", path.c_str());
    return 1;
  }
  const int length = static_cast<int>(bytes.size());
  w_pcap_file file{};
  int at = wPcapReadFileHeader(bytes.data(), length, &file);
  if (at < 0) {
    std::fprintf(stderr, "mixlink: %s: %s\n", path.c_str(), wPcapErrorText(at));
    return 1;
  }
  w_pcap_datagram d{};
  long lines = 0;
  int64_t first = -1;
  int16_t values[mixlink::kRtaValues];
  while ((at = wPcapReadDatagram(&file, bytes.data(), length, at, &d)) > 0) {
    if (d.destination_port != port || wRtaValues(bytes.data() + d.offset, d.length, values) != 1) continue;
    const int64_t t = static_cast<int64_t>(d.seconds) * 1000000 + d.microseconds;
    if (first < 0) first = t;
    std::fputs(rta_csv_line(static_cast<double>(t - first) / 1e6, values).c_str(), stdout);
    ++lines;
  }
  if (at < 0) {
    std::fprintf(stderr, "mixlink: %s: %s after %ld RTA datagrams\n", path.c_str(), wPcapErrorText(at), lines);
    return 1;
  }
  return 0;
}

}  // namespace mixtool
