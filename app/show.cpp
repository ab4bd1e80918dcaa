// SPDX-License-Identifier: MIT
#include "show.h"

#include <mixlink/meters.h>
#include <mixlink/protocol.h>
#include <mixlink/recording.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string_view>

namespace bandscope {

namespace {

// How far back a moment is rebuilt from, and at most how many datagrams.
constexpr Micros kRebuildSpan = 70 * kSecond;
constexpr size_t kRebuildMost = 20000;
constexpr size_t kNameMost = 40;

void addNumber(std::string& s, const char* format, double v) {
  char text[32];
  std::snprintf(text, sizeof text, format, v);
  s += text;
}

}  // namespace

bool valuesOf(const MeterDatagram& d, int16_t* values) {
  return wRtaValues(d.bytes.data(), std::min(d.length, kMeterBytes), values) == 1;
}

void Spectrogram::add(const DisplayModel& m, Micros at) {
  const int64_t slot = at / kSlot;
  if (newest_ >= 0 && slot <= newest_ - kRows) return;  // older than the picture
  if (slot > newest_) {
    // The tenths without a datagram stay empty.
    const int64_t from = std::max(newest_ + 1, slot - kRows + 1);
    for (int64_t s = from; s <= slot; ++s)
      std::fill_n(cells_.begin() + static_cast<std::ptrdiff_t>((s % kRows) * kBarCount), kBarCount, uint8_t{0});
    newest_ = slot;
  }
  uint8_t* row = cells_.data() + static_cast<size_t>(slot % kRows) * kBarCount;
  for (int i = 0; i < kBarCount; ++i) {
    const auto h = static_cast<uint8_t>(std::clamp(m.band(i).height, 0, kBarAreaHeight));
    row[i] = std::max(row[i], h);
  }
}

void ShowState::add(const int16_t* values, Micros at) {
  model.addValues(values, at);
  sentinel.addValues(values, at);
  spectrogram.add(model, at);
}

bool ShowState::add(const MeterDatagram& d) {
  int16_t values[kBarCount];
  if (!valuesOf(d, values)) {
    model.addShort();
    return false;
  }
  add(values, d.at);
  return true;
}

Reference captureReference(const DisplayModel& m, const std::string& name) {
  Reference r;
  r.name = name;
  // Without averaging the average is the last value itself.
  for (int i = 0; i < kBarCount; ++i) r.values[static_cast<size_t>(i)] = m.band(i).averaged;
  return r;
}

std::string referenceCsv(const Reference& r) {
  // The value column carries the reference's name, as a field of its own.
  std::string name = r.name;
  for (char& c : name)
    if (c == ',' || c == '"' || c == '\n' || c == '\r') c = '_';
  std::string s = "band,centre_hz," + name + "\n";
  for (int i = 0; i < kBarCount; ++i) {
    s += std::to_string(i);
    addNumber(s, ",%.2f", bandCentreHz(i));
    addNumber(s, ",%.2f\n", r.values[static_cast<size_t>(i)]);
  }
  return s;
}

bool parseReferenceCsv(const std::string& text, std::array<double, kBarCount>* out, std::string* out_name) {
  std::istringstream in(text);
  std::string line;
  const std::string prefix = "band,centre_hz,";
  if (!std::getline(in, line) || line.rfind(prefix, 0) != 0) return false;
  // The value column is named after the reference.
  std::string name = line.substr(prefix.size());
  if (!name.empty() && name.back() == '\r') name.pop_back();
  std::array<double, kBarCount> values{};
  std::array<bool, kBarCount> seen{};
  int rows = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line == "\r") continue;
    char* end = nullptr;
    const long band = std::strtol(line.c_str(), &end, 10);
    if (end == line.c_str() || *end != ',' || band < 0 || band >= kBarCount || seen[static_cast<size_t>(band)])
      return false;
    const size_t value_at = line.find(',', static_cast<size_t>(end - line.c_str()) + 1);
    if (value_at == std::string::npos) return false;
    const char* v = line.c_str() + value_at + 1;
    const double value = std::strtod(v, &end);
    if (end == v || !std::isfinite(value) || value < -32768 || value > 32767) return false;
    values[static_cast<size_t>(band)] = value;
    seen[static_cast<size_t>(band)] = true;
    ++rows;
  }
  if (rows != kBarCount) return false;
  *out = values;
  if (out_name != nullptr) *out_name = name;
  return true;
}

std::string safeName(const std::string& name) {
  std::string s;
  for (unsigned char c : name) {
    if (s.size() >= kNameMost) break;
    const bool unsafe = c < 0x20 || c == 0x7F || std::string_view("/\\:*?\"<>|,").find(static_cast<char>(c)) != std::string_view::npos;
    s += unsafe ? '_' : static_cast<char>(c);
  }
  // No hidden files, and nothing that is only dots or blanks.
  while (!s.empty() && (s.front() == '.' || s.front() == ' ')) s.erase(s.begin());
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s.empty() ? "reference" : s;
}

std::string frameCsv(const ShowState& st, const std::vector<Reference>& references) {
  const DisplayModel& m = st.model;
  std::string s = "band,centre_hz,value,height,peak_height,max_height,average_value,ringing";
  for (const Reference& r : references)
    if (r.shown) s += ",ref_" + safeName(r.name);
  s += '\n';
  for (int i = 0; i < kBarCount; ++i) {
    const Band& b = m.band(i);
    s += std::to_string(i);
    addNumber(s, ",%.2f", bandCentreHz(i));
    s += ',' + std::to_string(b.value) + ',' + std::to_string(b.height) + ',' +
         std::to_string(std::lround(m.peakHeight(i))) + ',' + std::to_string(std::lround(b.max_hold));
    addNumber(s, ",%.2f", b.averaged);
    s += st.sentinel.ringing(i) ? ",1" : ",0";
    for (const Reference& r : references)
      if (r.shown) addNumber(s, ",%.2f", r.values[static_cast<size_t>(i)]);
    s += '\n';
  }
  return s;
}

void ShowRecorder::add(const MeterDatagram& d) {
  datagrams_.push_back(d);
  while (datagrams_.size() > max_count_ || (datagrams_.size() > 1 && d.at - datagrams_.front().at > span_))
    datagrams_.pop_front();
}

size_t ShowRecorder::indexAt(Micros at) const {
  const auto it = std::lower_bound(datagrams_.begin(), datagrams_.end(), at,
                                   [](const MeterDatagram& d, Micros t) { return d.at < t; });
  return static_cast<size_t>(it - datagrams_.begin());
}

ShowState ShowRecorder::stateAt(size_t index, Averaging averaging, bool max_hold) const {
  ShowState st;
  st.model.setAveraging(averaging);
  if (datagrams_.empty()) return st;
  index = std::min(index, datagrams_.size() - 1);
  size_t first = indexAt(datagrams_[index].at - kRebuildSpan);
  first = std::max(first, index >= kRebuildMost ? index - kRebuildMost : 0);
  for (size_t i = first; i <= index; ++i) {
    st.add(datagrams_[i]);
    if (i == first) st.model.setMaxHold(max_hold);
  }
  return st;
}

w_pcap_datagram recordOf(const MeterDatagram& d, int port) {
  w_pcap_datagram p{};
  p.seconds = static_cast<uint32_t>(d.wall / kSecond);
  p.microseconds = static_cast<uint32_t>(d.wall % kSecond);
  p.source = d.source;
  p.destination = 0;  // this host: the meter socket listens on every address
  p.source_port = mixlink::kNativePort;
  p.destination_port = port;
  p.length = std::clamp(d.length, 0, kMeterBytes);
  return p;
}

std::vector<unsigned char> ShowRecorder::recording(size_t first, int port) const {
  std::vector<unsigned char> out(W_PCAP_FILE_HEADER);
  wPcapWriteFileHeader(out.data(), W_PCAP_FILE_HEADER);
  for (size_t i = first; i < datagrams_.size(); ++i) {
    const w_pcap_datagram p = recordOf(datagrams_[i], port);
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(W_PCAP_RECORD_HEADER + W_PCAP_PACKET_HEADERS + p.length));
    wPcapWriteDatagram(&p, datagrams_[i].bytes.data(), out.data() + at, static_cast<int>(out.size() - at));
  }
  return out;
}

std::string readRecording(const std::vector<unsigned char>& bytes, int port, std::vector<MeterDatagram>* out) {
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) return "larger than 2 GiB";
  const int length = static_cast<int>(bytes.size());
  w_pcap_file file{};
  int at = wPcapReadFileHeader(bytes.data(), length, &file);
  if (at < 0) return wPcapErrorText(at);
  w_pcap_datagram p{};
  while ((at = wPcapReadDatagram(&file, bytes.data(), length, at, &p)) > 0) {
    if (p.destination_port != port) continue;
    MeterDatagram d;
    d.wall = static_cast<Micros>(p.seconds) * kSecond + p.microseconds;
    d.at = d.wall;
    d.source = p.source;
    d.length = std::min(p.length, kMeterBytes);
    std::copy_n(bytes.data() + p.offset, d.length, d.bytes.begin());
    out->push_back(d);
  }
  return at < 0 ? wPcapErrorText(at) : "";
}

}  // namespace bandscope
