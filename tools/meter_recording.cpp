// SPDX-License-Identifier: MIT
#include "meter_recording.h"

#include <mixlink/protocol.h>
#include <mixlink/recording.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

namespace mixtool {

namespace {

constexpr int kRtaBytes = mixlink::kRtaHeaderBytes + 2 * mixlink::kRtaValues;

// The address as a number (127.0.0.1 is 0x7F000001), from its bytes in network order.
uint32_t address_number(uint32_t network_order) {
  unsigned char b[4];
  std::memcpy(b, &network_order, 4);
  return (static_cast<uint32_t>(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
}

}  // namespace

bool MeterRecording::open(const std::string& path) {
  close();
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) return false;
  unsigned char header[W_PCAP_FILE_HEADER];
  wPcapWriteFileHeader(header, sizeof header);
  ok_ = std::fwrite(header, 1, sizeof header, file_) == sizeof header;
  count_ = 0;
  return ok_;
}

bool MeterRecording::add(const unsigned char* data, int length, uint32_t source, int port) {
  if (file_ == nullptr || !ok_) return false;
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  w_pcap_datagram d{};
  d.seconds = static_cast<uint32_t>(now / 1000000);
  d.microseconds = static_cast<uint32_t>(now % 1000000);
  d.source = address_number(source);
  d.destination = 0;  // this host: the meter socket listens on every address
  d.source_port = mixlink::kNativePort;
  d.destination_port = port;
  d.length = length;
  std::vector<unsigned char> record(static_cast<size_t>(W_PCAP_RECORD_HEADER + W_PCAP_PACKET_HEADERS + length));
  const int n = wPcapWriteDatagram(&d, data, record.data(), static_cast<int>(record.size()));
  ok_ = n > 0 && std::fwrite(record.data(), 1, static_cast<size_t>(n), file_) == static_cast<size_t>(n);
  // A recording cut by a crash keeps every datagram up to the last second.
  if (ok_ && ++count_ % 20 == 0) ok_ = std::fflush(file_) == 0;
  return ok_;
}

bool MeterRecording::close() {
  if (file_ == nullptr) return ok_;
  ok_ = std::fclose(file_) == 0 && ok_;
  file_ = nullptr;
  return ok_;
}

std::string rta_csv_line(double seconds, const unsigned char* payload) {
  char field[32];
  std::snprintf(field, sizeof field, "%.6f", seconds);
  std::string line = field;
  for (int i = 0; i < mixlink::kRtaValues; ++i) {
    const unsigned char* v = payload + mixlink::kRtaHeaderBytes + 2 * i;
    std::snprintf(field, sizeof field, ",%d", static_cast<int16_t>((v[0] << 8) | v[1]));
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
  long lines = 0, datagrams = 0;
  int64_t first = -1;
  std::set<int> ports;  // the ports of the RTA datagrams to other ports
  while ((at = wPcapReadDatagram(&file, bytes.data(), length, at, &d)) > 0) {
    ++datagrams;
    if (d.length < kRtaBytes) continue;
    if (d.destination_port != port) {
      ports.insert(d.destination_port);
      continue;
    }
    const int64_t t = static_cast<int64_t>(d.seconds) * 1000000 + d.microseconds;
    if (first < 0) first = t;
    std::fputs(rta_csv_line(static_cast<double>(t - first) / 1e6, bytes.data() + d.offset).c_str(), stdout);
    ++lines;
  }
  if (at < 0) {
    std::fprintf(stderr, "mixlink: %s: %s after %ld RTA datagrams\n", path.c_str(), wPcapErrorText(at), lines);
    return 1;
  }
  if (lines == 0) {
    // Nothing printed is no success: say what the recording holds instead.
    std::string others;
    for (int p : ports) others += (others.empty() ? "" : ", ") + std::to_string(p);
    if (others.empty())
      std::fprintf(stderr, "mixlink: %s: no RTA datagram among its %ld datagrams\n", path.c_str(), datagrams);
    else
      std::fprintf(stderr, "mixlink: %s: no RTA datagram to port %d; it holds RTA datagrams to port %s (use --port)\n",
                   path.c_str(), port, others.c_str());
    return 1;
  }
  return 0;
}

}  // namespace mixtool
