// SPDX-License-Identifier: MIT
// What bandscope keeps of a show, as plain data: the spectrogram's last minute, reference
// traces, the CSV of a frame, and the show recorder's datagrams with their recordings. No window
// system, no files: the window reads and writes the bytes these make.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <mixlink/recording.h>

#include "model.h"
#include "sentinel.h"

namespace bandscope {

// One meter datagram as read: when (on the display's clock, and the wall clock for recordings),
// from where, its length and its first bytes (zeros behind a shorter one).
inline constexpr int kMeterBytes = 254;
struct MeterDatagram {
  Micros at = 0;
  Micros wall = 0;       // microseconds since 1970
  uint32_t source = 0;   // IPv4 address as a number (127.0.0.1 is 0x7F000001)
  int length = 0;
  std::array<unsigned char, kMeterBytes> bytes{};
};

// Writes the 120 RTA values of d into values; false (values untouched) when d is shorter than
// the RTA block, which is then counted and never drawn.
bool valuesOf(const MeterDatagram& d, int16_t* values);

// The last minute of bar heights, in tenths of a second: each cell holds the highest height
// (0 to 128) of its band in its tenth, so a short burst still shows.
class Spectrogram {
 public:
  static constexpr Micros kSlot = kSecond / 10;
  static constexpr int kRows = 600;

  Spectrogram() : cells_(static_cast<size_t>(kRows) * kBarCount, 0) {}
  // Takes the model's bar heights after a datagram at time at.
  void add(const DisplayModel& m, Micros at);
  // The height of band in the row age tenths before the newest (0: the newest).
  uint8_t height(int age, int band) const {
    const int64_t slot = newest_ - age;
    if (newest_ < 0 || slot < 0) return 0;
    return cells_[static_cast<size_t>(slot % kRows) * kBarCount + static_cast<size_t>(band)];
  }

 private:
  std::vector<uint8_t> cells_;
  int64_t newest_ = -1;  // slot number of the newest row
};

// What is shown from the datagrams: the bars, the sentinel and the spectrogram, moved together.
struct ShowState {
  DisplayModel model;
  FeedbackSentinel sentinel;
  Spectrogram spectrogram;

  void add(const int16_t* values, Micros at);
  // Shows d when it holds a whole RTA block and counts it as short otherwise; true when shown.
  bool add(const MeterDatagram& d);
};

// A reference trace: the spectrum captured at a moment, as meter values.
inline constexpr int kMaxReferences = 8;
struct Reference {
  std::string name;
  std::array<double, kBarCount> values{};
  bool shown = true;
};

// Returns the reference of the model's spectrum (averaged when averaging is on), named name.
Reference captureReference(const DisplayModel& m, const std::string& name);
// Returns a reference as CSV: "band,centre_hz,<its name>" and one row per band.
std::string referenceCsv(const Reference& r);
// Reads the values of a reference's CSV into values, and its name (the header's value column)
// into name when given; false unless it has the header and all 120 bands.
bool parseReferenceCsv(const std::string& text, std::array<double, kBarCount>* values, std::string* name = nullptr);
// Returns name made safe as a file name (no path separators, quotes or control characters,
// not empty, at most 40 characters).
std::string safeName(const std::string& name);

// Returns the CSV of the frame: "band,centre_hz,value,height,peak_height,max_height,
// average_value,ringing" and "ref_<name>" for each shown reference, then one row per band.
// Heights are pixels of the 128-pixel scale: height as the meter value converts (beyond 128 for
// values above full scale), the peak marker and the max-hold trace as drawn (at most 128).
std::string frameCsv(const ShowState& s, const std::vector<Reference>& references);

// The datagrams of the show, oldest first, for as long as span and at most max_bytes of them.
class ShowRecorder {
 public:
  static constexpr Micros kShowSpan = 60 * 60 * kSecond;
  static constexpr size_t kShowBytes = 96u << 20;

  explicit ShowRecorder(Micros span = kShowSpan, size_t max_bytes = kShowBytes)
      : span_(span), max_count_(max_bytes / sizeof(MeterDatagram)) {}

  void add(const MeterDatagram& d);
  void clear() { datagrams_.clear(); }
  size_t size() const { return datagrams_.size(); }
  bool empty() const { return datagrams_.empty(); }
  const MeterDatagram& operator[](size_t i) const { return datagrams_[i]; }
  // Returns the index of the first datagram at or after time at (size() when none).
  size_t indexAt(Micros at) const;
  // Returns the state shown right after datagram index, with the averaging and max hold given:
  // rebuilt from the datagrams of the 70 s before it (at most 20,000 of them), enough for the
  // spectrogram's minute and for averages and peak markers to settle.
  ShowState stateAt(size_t index, Averaging averaging, bool max_hold) const;
  // Returns the datagrams from index first to the end as a recording (pcap bytes), each sent to
  // port.
  std::vector<unsigned char> recording(size_t first, int port) const;

 private:
  Micros span_;
  size_t max_count_;
  std::deque<MeterDatagram> datagrams_;
};

// Returns the record of datagram d sent to port, for the library's recording writer.
w_pcap_datagram recordOf(const MeterDatagram& d, int port);

// Reads the datagrams sent to port from the recording in bytes into out (their times on the
// wall clock); returns an empty text, or why it could not read on (out then holds what came
// before).
std::string readRecording(const std::vector<unsigned char>& bytes, int port, std::vector<MeterDatagram>* out);

}  // namespace bandscope
