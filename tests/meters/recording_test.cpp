// SPDX-License-Identifier: MIT
// Meter recordings: what the writer writes reads back, and the reader refuses damaged files
// clearly without reading a byte past them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstring>
#include <memory>
#include <vector>

#include <mixlink/recording.h>

namespace {

using Bytes = std::vector<unsigned char>;

w_pcap_datagram datagram(uint32_t seconds, uint32_t micros, int length) {
  w_pcap_datagram d{};
  d.seconds = seconds;
  d.microseconds = micros;
  d.source = 0x0A000007;  // 10.0.0.7
  d.destination = 0x7F000001;
  d.source_port = 2222;
  d.destination_port = 10026;
  d.length = length;
  return d;
}

// A recording of datagrams whose payload bytes count up from their index.
Bytes recording(const std::vector<w_pcap_datagram>& ds) {
  Bytes out(W_PCAP_FILE_HEADER);
  EXPECT_EQ(wPcapWriteFileHeader(out.data(), static_cast<int>(out.size())), W_PCAP_FILE_HEADER);
  for (size_t k = 0; k < ds.size(); ++k) {
    Bytes payload(static_cast<size_t>(ds[k].length));
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(k + i);
    Bytes rec(W_PCAP_RECORD_HEADER + W_PCAP_PACKET_HEADERS + payload.size());
    EXPECT_EQ(wPcapWriteDatagram(&ds[k], payload.data(), rec.data(), static_cast<int>(rec.size())),
              static_cast<int>(rec.size()));
    out.insert(out.end(), rec.begin(), rec.end());
  }
  return out;
}

// Reads every datagram of the first length bytes, from a heap copy of exactly those bytes so
// that a read past them is caught; returns the datagrams and the reader's last result.
struct ReadOutcome {
  int header = 0;
  std::vector<w_pcap_datagram> datagrams;
  std::vector<Bytes> payloads;
  int last = 0;
};
ReadOutcome readAll(const Bytes& file, size_t length) {
  std::unique_ptr<unsigned char[]> exact(new unsigned char[length > 0 ? length : 1]);
  if (length > 0) std::memcpy(exact.get(), file.data(), length);
  const int n = static_cast<int>(length);
  ReadOutcome r;
  w_pcap_file f{};
  r.header = wPcapReadFileHeader(exact.get(), n, &f);
  if (r.header != W_PCAP_FILE_HEADER) return r;
  int at = W_PCAP_FILE_HEADER;
  w_pcap_datagram d{};
  while ((at = wPcapReadDatagram(&f, exact.get(), n, at, &d)) > 0) {
    EXPECT_LE(d.offset + d.length, n);
    r.datagrams.push_back(d);
    r.payloads.emplace_back(exact.get() + d.offset, exact.get() + d.offset + d.length);
  }
  r.last = at;
  return r;
}

TEST(Recording, WhatIsWrittenReadsBackAndStandardToolsSeeIPv4UDP) {
  const std::vector<w_pcap_datagram> ds = {datagram(1700000000, 0, 244), datagram(1700000000, 50000, 0),
                                           datagram(1700000001, 999999, 1400)};
  const Bytes file = recording(ds);
  // The header standard tools look for: magic, version 2.4, link type 101; then the first
  // packet's IPv4 header with a checksum that sums to zero.
  const Bytes head = {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), file.begin()));
  EXPECT_EQ(file[20], 101);
  const unsigned char* ip = file.data() + W_PCAP_FILE_HEADER + W_PCAP_RECORD_HEADER;
  uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += (ip[i] << 8) | ip[i + 1];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  EXPECT_EQ(sum, 0xFFFFu);

  const ReadOutcome r = readAll(file, file.size());
  ASSERT_EQ(r.datagrams.size(), ds.size());
  EXPECT_EQ(r.last, 0) << "a clean end";
  for (size_t k = 0; k < ds.size(); ++k) {
    EXPECT_EQ(r.datagrams[k].seconds, ds[k].seconds);
    EXPECT_EQ(r.datagrams[k].microseconds, ds[k].microseconds);
    EXPECT_EQ(r.datagrams[k].source, ds[k].source);
    EXPECT_EQ(r.datagrams[k].destination, ds[k].destination);
    EXPECT_EQ(r.datagrams[k].source_port, 2222);
    EXPECT_EQ(r.datagrams[k].destination_port, 10026);
    ASSERT_EQ(r.payloads[k].size(), static_cast<size_t>(ds[k].length));
    for (size_t i = 0; i < r.payloads[k].size(); ++i) ASSERT_EQ(r.payloads[k][i], static_cast<unsigned char>(k + i));
  }

  // The writer refuses what no datagram can be, and a buffer without room.
  unsigned char small[64];
  w_pcap_datagram bad = datagram(0, 1000000, 4);
  EXPECT_EQ(wPcapWriteDatagram(&bad, small, small, sizeof small), W_PCAP_BAD_RECORD);
  bad = datagram(0, 0, W_PCAP_MAX_PAYLOAD + 1);
  EXPECT_EQ(wPcapWriteDatagram(&bad, small, small, sizeof small), W_PCAP_BAD_RECORD);
  bad = datagram(0, 0, 40);
  EXPECT_EQ(wPcapWriteDatagram(&bad, small, small, sizeof small), W_PCAP_NO_ROOM);
  EXPECT_EQ(wPcapWriteFileHeader(small, 23), W_PCAP_NO_ROOM);
}

// A file cut anywhere gives every whole record before the cut and then says it is cut.
TEST(Recording, ACutFileGivesItsWholeRecordsThenSaysCut) {
  const std::vector<w_pcap_datagram> ds = {datagram(5, 1, 244), datagram(5, 2, 10), datagram(6, 3, 244)};
  const Bytes file = recording(ds);
  const size_t ends[] = {W_PCAP_FILE_HEADER, W_PCAP_FILE_HEADER + 16 + 28 + 244,
                         W_PCAP_FILE_HEADER + 2 * (16 + 28) + 254, file.size()};
  for (size_t cut = 0; cut <= file.size(); ++cut) {
    const ReadOutcome r = readAll(file, cut);
    if (cut < W_PCAP_FILE_HEADER) {
      ASSERT_EQ(r.header, W_PCAP_CUT) << cut;
      continue;
    }
    size_t whole = 0;
    while (whole + 1 < std::size(ends) && ends[whole + 1] <= cut) ++whole;
    ASSERT_EQ(r.datagrams.size(), whole) << cut;
    const bool clean = std::find(std::begin(ends), std::end(ends), cut) != std::end(ends);
    ASSERT_EQ(r.last, clean ? 0 : W_PCAP_CUT) << cut;
  }
}

TEST(Recording, OtherFilesAreRefusedWithTheReason) {
  Bytes file = recording({datagram(1, 0, 8)});
  struct Case {
    const char* name;
    size_t at;
    std::vector<unsigned char> bytes;
    int header;  // the header's result
    int last;    // the first record's result, when the header reads
  };
  const Case cases[] = {
      {"garbage", 0, {'G', 'I', 'F', '8'}, W_PCAP_NOT_PCAP, 0},
      {"a pcapng section", 0, {0x0A, 0x0D, 0x0D, 0x0A}, W_PCAP_NOT_PCAP, 0},
      {"Linux cooked link type", 20, {113, 0, 0, 0}, W_PCAP_LINK_TYPE, 0},
      {"a record claiming 1 GB", W_PCAP_FILE_HEADER + 8, {0, 0, 0, 0x40}, W_PCAP_FILE_HEADER, W_PCAP_BAD_RECORD},
      {"a record longer than the file", W_PCAP_FILE_HEADER + 8, {0xFF, 0x00, 0, 0}, W_PCAP_FILE_HEADER, W_PCAP_CUT},
      {"a TCP packet is skipped", W_PCAP_FILE_HEADER + 16 + 9, {6}, W_PCAP_FILE_HEADER, 0},
      {"a fragment is skipped", W_PCAP_FILE_HEADER + 16 + 6, {0x20, 0}, W_PCAP_FILE_HEADER, 0},
      {"a UDP length past the packet is skipped", W_PCAP_FILE_HEADER + 16 + 20 + 4, {0x10, 0}, W_PCAP_FILE_HEADER, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes damaged = file;
    std::copy(c.bytes.begin(), c.bytes.end(), damaged.begin() + static_cast<long>(c.at));
    const ReadOutcome r = readAll(damaged, damaged.size());
    EXPECT_EQ(r.header, c.header);
    EXPECT_TRUE(r.datagrams.empty());
    EXPECT_EQ(r.last, c.last);
  }
  EXPECT_STREQ(wPcapErrorText(W_PCAP_NOT_PCAP), "not a classic pcap file");
  EXPECT_STREQ(wPcapErrorText(W_PCAP_CUT), "the file is cut short");
}

// Files written on a big-endian machine, with nanosecond stamps, or captured on Ethernet read too.
TEST(Recording, OtherByteOrderNanosecondsAndEthernetRead) {
  const Bytes file = recording({datagram(7, 123456, 4)});
  Bytes swapped = file;
  for (size_t at : {size_t{0}, size_t{8}, size_t{12}, size_t{16}, size_t{20}, size_t{24}, size_t{28}, size_t{32},
                    size_t{36}})
    std::reverse(swapped.begin() + static_cast<long>(at), swapped.begin() + static_cast<long>(at) + 4);
  std::reverse(swapped.begin() + 4, swapped.begin() + 6);  // the two version halves
  std::reverse(swapped.begin() + 6, swapped.begin() + 8);
  // Nanoseconds: magic A1B23C4D and the fraction times 1000.
  Bytes nano = file;
  nano[0] = 0x4D;
  nano[1] = 0x3C;
  const uint32_t ns = 123456789;
  for (int i = 0; i < 4; ++i) nano[28 + i] = static_cast<unsigned char>(ns >> (8 * i));
  // Ethernet: link type 1 and a 14-byte header in front of the packet.
  Bytes eth(file.begin(), file.begin() + 40);
  eth[20] = 1;
  const uint32_t len = static_cast<uint32_t>(file.size() - 40 + 14);
  for (int i = 0; i < 4; ++i) eth[32 + i] = eth[36 + i] = static_cast<unsigned char>(len >> (8 * i));
  const Bytes mac(12, 0xAA);
  eth.insert(eth.end(), mac.begin(), mac.end());
  eth.push_back(0x08);
  eth.push_back(0x00);
  eth.insert(eth.end(), file.begin() + 40, file.end());

  struct Case {
    const char* name;
    const Bytes& bytes;
    uint32_t micros;
  };
  const Case cases[] = {{"big-endian", swapped, 123456}, {"nanoseconds", nano, 123456}, {"Ethernet", eth, 123456}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ReadOutcome r = readAll(c.bytes, c.bytes.size());
    ASSERT_EQ(r.datagrams.size(), 1u);
    EXPECT_EQ(r.datagrams[0].seconds, 7u);
    EXPECT_EQ(r.datagrams[0].microseconds, c.micros);
    EXPECT_EQ(r.payloads[0], Bytes({0, 1, 2, 3}));
    EXPECT_EQ(r.last, 0);
  }
}

// The file writer writes the same bytes as the pure writer, and says so when the file cannot be
// made or written instead of losing datagrams quietly.
TEST(Recording, TheFileWriterWritesTheSameBytesAndReportsFailedWrites) {
  const std::vector<w_pcap_datagram> ds = {datagram(1700000000, 1, 244), datagram(1700000000, 999999, 0),
                                           datagram(1700000001, 5, 100)};
  const std::string path = (std::filesystem::temp_directory_path() / "mixlink-writer-test.pcap").string();
  w_pcap_writer* w = wPcapCreate(path.c_str());
  ASSERT_NE(w, nullptr);
  for (size_t k = 0; k < ds.size(); ++k) {
    Bytes payload(static_cast<size_t>(ds[k].length));
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(k + i);
    EXPECT_EQ(wPcapAppend(w, &ds[k], payload.data()), W_PCAP_RECORD_HEADER + W_PCAP_PACKET_HEADERS + ds[k].length);
  }
  w_pcap_datagram bad = datagram(1, 0, 10);
  bad.microseconds = 1000000;
  EXPECT_EQ(wPcapAppend(w, &bad, Bytes(10).data()), W_PCAP_BAD_RECORD);
  EXPECT_EQ(wPcapClose(w), 1);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), recording(ds));
  std::remove(path.c_str());

  EXPECT_EQ(wPcapCreate((path + ".missing/x.pcap").c_str()), nullptr);
  EXPECT_EQ(wPcapCreate(nullptr), nullptr);
  EXPECT_EQ(wPcapAppend(nullptr, &ds[0], Bytes(244).data()), W_PCAP_WRITE_FAILED);
  EXPECT_EQ(wPcapClose(nullptr), 1);
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to fail writes on";
  w = wPcapCreate("/dev/full");  // the header sits in the buffer until it is handed on
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(wPcapFlush(w), W_PCAP_WRITE_FAILED);
  EXPECT_EQ(wPcapAppend(w, &ds[0], Bytes(244).data()), W_PCAP_WRITE_FAILED) << "and every later call";
  EXPECT_EQ(wPcapClose(w), W_PCAP_WRITE_FAILED);
}

TEST(Recording, AddressesInNetworkOrderBecomeNumbers) {
  const unsigned char loopback[4] = {127, 0, 0, 1};
  uint32_t network_order = 0;
  std::memcpy(&network_order, loopback, 4);
  EXPECT_EQ(wAddressNumber(network_order), 0x7F000001u);
}

}  // namespace
