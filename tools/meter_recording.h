// SPDX-License-Identifier: MIT
// The meters command's recordings: datagrams appended to a pcap file as they come, and a
// recording printed back as CSV. File handling here; the bytes are the library's (recording.h).
#pragma once

#include <cstdint>
#include <string>

#include <mixlink/recording.h>

namespace mixtool {

// A recording being written: the file header when it opens, then one record per datagram.
class MeterRecording {
 public:
  MeterRecording() = default;
  ~MeterRecording() { close(); }
  MeterRecording(const MeterRecording&) = delete;
  MeterRecording& operator=(const MeterRecording&) = delete;

  // Creates (or empties) the file at path and writes the file header; false when it cannot.
  bool open(const std::string& path);
  bool isOpen() const { return writer_ != nullptr; }
  // Appends the datagram of length bytes that source (IPv4, network byte order) sent to port,
  // stamped with the current time; false once a write has failed.
  bool add(const unsigned char* data, int length, uint32_t source, int port);
  // Writes out what is buffered and closes the file; false when any write failed.
  bool close();
  long count() const { return count_; }

 private:
  w_pcap_writer* writer_ = nullptr;
  long count_ = 0;
  bool ok_ = true;
};

// Returns one CSV line of an RTA datagram's 120 values: the seconds given, with six decimals,
// then the values, and a newline.
std::string rta_csv_line(double seconds, const int16_t* values);

// Prints one CSV line per RTA datagram to port in the recording at path (seconds since the
// first, then the 120 values) on standard output; datagrams to other ports and shorter than
// the RTA block are left out. Returns 0, or 1 after saying why on standard error when the file
// cannot be read, is not a recording or is cut short (after the lines of its whole records).
int replay_csv(const std::string& path, int port);

}  // namespace mixtool
