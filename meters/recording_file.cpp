// SPDX-License-Identifier: MIT
// Recordings written to a file as the datagrams come: the header at creation, one record a call.
#include <mixlink/recording.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "link/wire.h"

struct w_pcap_writer {
  std::FILE* file = nullptr;
  bool ok = true;
  std::vector<unsigned char> record;  // reused from call to call
};

extern "C" {

w_pcap_writer* wPcapCreate(const char* path) {
  if (path == nullptr) return nullptr;
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return nullptr;
  unsigned char header[W_PCAP_FILE_HEADER];
  wPcapWriteFileHeader(header, sizeof header);
  auto* writer = new (std::nothrow) w_pcap_writer;
  if (writer == nullptr || std::fwrite(header, 1, sizeof header, file) != sizeof header) {
    std::fclose(file);
    delete writer;
    return nullptr;
  }
  writer->file = file;
  return writer;
}

int wPcapAppend(w_pcap_writer* writer, const w_pcap_datagram* d, const unsigned char* payload) {
  if (writer == nullptr || !writer->ok) return W_PCAP_WRITE_FAILED;
  if (d == nullptr || d->length < 0 || d->length > W_PCAP_MAX_PAYLOAD) return W_PCAP_BAD_RECORD;
  writer->record.resize(static_cast<size_t>(W_PCAP_RECORD_HEADER + W_PCAP_PACKET_HEADERS + d->length));
  const int n = wPcapWriteDatagram(d, payload, writer->record.data(), static_cast<int>(writer->record.size()));
  if (n < 0) return n;
  writer->ok = std::fwrite(writer->record.data(), 1, static_cast<size_t>(n), writer->file) == static_cast<size_t>(n);
  return writer->ok ? n : W_PCAP_WRITE_FAILED;
}

int wPcapFlush(w_pcap_writer* writer) {
  if (writer == nullptr || !writer->ok) return W_PCAP_WRITE_FAILED;
  writer->ok = std::fflush(writer->file) == 0;
  return writer->ok ? 1 : W_PCAP_WRITE_FAILED;
}

int wPcapClose(w_pcap_writer* writer) {
  if (writer == nullptr) return 1;
  const bool ok = std::fclose(writer->file) == 0 && writer->ok;
  delete writer;
  return ok ? 1 : W_PCAP_WRITE_FAILED;
}

uint32_t wAddressNumber(uint32_t network_order) {
  unsigned char bytes[4];
  std::memcpy(bytes, &network_order, sizeof bytes);
  return mixlink::wire::get_be32(bytes);
}

}  // extern "C"
