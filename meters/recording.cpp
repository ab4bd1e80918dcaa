// SPDX-License-Identifier: MIT
// Meter recordings as classic pcap files: writing and reading the bytes, nothing else.
#include <mixlink/recording.h>

#include <cstring>

#include "link/wire.h"

namespace {

using mixlink::wire::get_be16;
using mixlink::wire::get_be32;
using mixlink::wire::put_be16;
using mixlink::wire::put_be32;

constexpr uint32_t kMagicMicro = 0xA1B2C3D4;
constexpr uint32_t kMagicNano = 0xA1B23C4D;
constexpr uint32_t kSnapLength = 65535;
// Link types: raw IP (IPv4 or IPv6 by the version nibble), IPv4 only, Ethernet.
enum LinkType : uint32_t { kLinkEthernet = 1, kLinkRaw = 101, kLinkIpv4 = 228 };
constexpr int kEthernetHeader = 14;
constexpr unsigned kEtherTypeIpv4 = 0x0800;
// No record of a file written by any tool we know of is larger; a claim beyond it is damage.
constexpr uint32_t kLargestRecord = 262144;
constexpr int kIpv4Header = 20;
constexpr int kUdpHeader = 8;
constexpr unsigned char kProtocolUdp = 17;
constexpr unsigned char kTimeToLive = 64;
constexpr unsigned kDontFragment = 0x4000;
constexpr unsigned kFragmentBits = 0x3FFF;  // more-fragments flag and fragment offset

void put_le32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}
void put_le16(unsigned char* p, unsigned v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
uint32_t le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint32_t swap32(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24); }

// The file's numbers are in its writer's byte order.
uint32_t file32(const w_pcap_file* f, const unsigned char* p) { return f->swapped ? get_be32(p) : le32(p); }

unsigned ipv4_checksum(const unsigned char* header) {
  uint32_t sum = 0;
  for (int i = 0; i < kIpv4Header; i += 2) sum += get_be16(header + i);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return ~sum & 0xFFFF;
}

// Finds the UDP payload in the packet of n captured bytes at p (n already within the data);
// returns false for anything but a whole, unfragmented IPv4/UDP datagram.
bool udp_payload(const unsigned char* p, int n, w_pcap_datagram* d, int* payload_at) {
  if (n < kIpv4Header || (p[0] >> 4) != 4) return false;
  const int ihl = (p[0] & 0x0F) * 4;
  const int total = static_cast<int>(get_be16(p + 2));
  if (ihl < kIpv4Header || total < ihl + kUdpHeader || total > n) return false;
  if ((get_be16(p + 6) & kFragmentBits) != 0 || p[9] != kProtocolUdp) return false;
  const unsigned char* u = p + ihl;
  const int udp_length = static_cast<int>(get_be16(u + 4));
  if (udp_length < kUdpHeader || udp_length > total - ihl) return false;
  d->source = get_be32(p + 12);
  d->destination = get_be32(p + 16);
  d->source_port = static_cast<int>(get_be16(u));
  d->destination_port = static_cast<int>(get_be16(u + 2));
  d->length = udp_length - kUdpHeader;
  *payload_at = ihl + kUdpHeader;
  return true;
}

}  // namespace

extern "C" {

int wPcapWriteFileHeader(unsigned char* out, int size) {
  if (out == nullptr || size < W_PCAP_FILE_HEADER) return W_PCAP_NO_ROOM;
  put_le32(out, kMagicMicro);
  put_le16(out + 4, 2);  // version 2.4
  put_le16(out + 6, 4);
  put_le32(out + 8, 0);  // time zone and accuracy: unused
  put_le32(out + 12, 0);
  put_le32(out + 16, kSnapLength);
  put_le32(out + 20, kLinkRaw);
  return W_PCAP_FILE_HEADER;
}

int wPcapWriteDatagram(const w_pcap_datagram* d, const unsigned char* payload, unsigned char* out, int size) {
  if (d == nullptr || d->length < 0 || d->length > W_PCAP_MAX_PAYLOAD || (d->length > 0 && payload == nullptr) ||
      d->source_port < 0 || d->source_port > 65535 || d->destination_port < 0 || d->destination_port > 65535 ||
      d->microseconds > 999999)
    return W_PCAP_BAD_RECORD;
  const int packet = W_PCAP_PACKET_HEADERS + d->length;
  const int total = W_PCAP_RECORD_HEADER + packet;
  if (out == nullptr || size < total) return W_PCAP_NO_ROOM;
  put_le32(out, d->seconds);
  put_le32(out + 4, d->microseconds);
  put_le32(out + 8, static_cast<uint32_t>(packet));
  put_le32(out + 12, static_cast<uint32_t>(packet));
  unsigned char* ip = out + W_PCAP_RECORD_HEADER;
  std::memset(ip, 0, W_PCAP_PACKET_HEADERS);
  ip[0] = 0x45;  // version 4, five 32-bit words of header
  put_be16(ip + 2, static_cast<unsigned>(packet));
  put_be16(ip + 6, kDontFragment);
  ip[8] = kTimeToLive;
  ip[9] = kProtocolUdp;
  put_be32(ip + 12, d->source);
  put_be32(ip + 16, d->destination);
  put_be16(ip + 10, ipv4_checksum(ip));
  unsigned char* udp = ip + kIpv4Header;
  put_be16(udp, static_cast<unsigned>(d->source_port));
  put_be16(udp + 2, static_cast<unsigned>(d->destination_port));
  put_be16(udp + 4, static_cast<unsigned>(kUdpHeader + d->length));
  // UDP checksum 0: none, which IPv4 allows.
  if (d->length > 0) std::memcpy(udp + kUdpHeader, payload, static_cast<size_t>(d->length));
  return total;
}

int wPcapReadFileHeader(const unsigned char* data, int length, w_pcap_file* file) {
  if (data == nullptr || length < W_PCAP_FILE_HEADER) return W_PCAP_CUT;
  w_pcap_file f{};
  const uint32_t magic = le32(data);
  if (magic == kMagicMicro || magic == kMagicNano) {
    f.swapped = 0;
  } else if (swap32(magic) == kMagicMicro || swap32(magic) == kMagicNano) {
    f.swapped = 1;
  } else {
    return W_PCAP_NOT_PCAP;
  }
  f.nanoseconds = (f.swapped ? swap32(magic) : magic) == kMagicNano;
  // The link type's upper bits carry flags in newer writers.
  f.link_type = file32(&f, data + 20) & 0xFFFF;
  if (f.link_type != kLinkRaw && f.link_type != kLinkIpv4 && f.link_type != kLinkEthernet) return W_PCAP_LINK_TYPE;
  if (file != nullptr) *file = f;
  return W_PCAP_FILE_HEADER;
}

int wPcapReadDatagram(const w_pcap_file* file, const unsigned char* data, int length, int offset, w_pcap_datagram* d) {
  if (file == nullptr || data == nullptr || d == nullptr || offset < 0 || offset > length) return W_PCAP_CUT;
  while (offset < length) {
    if (length - offset < W_PCAP_RECORD_HEADER) return W_PCAP_CUT;
    const unsigned char* r = data + offset;
    const uint32_t captured = file32(file, r + 8);
    if (captured > kLargestRecord) return W_PCAP_BAD_RECORD;
    if (captured > static_cast<uint32_t>(length - offset - W_PCAP_RECORD_HEADER)) return W_PCAP_CUT;
    const int packet_at = offset + W_PCAP_RECORD_HEADER;
    const int next = packet_at + static_cast<int>(captured);
    const unsigned char* p = data + packet_at;
    int n = static_cast<int>(captured);
    int skip = 0;
    if (file->link_type == kLinkEthernet) {
      if (n < kEthernetHeader || get_be16(p + 12) != kEtherTypeIpv4) {
        offset = next;
        continue;
      }
      skip = kEthernetHeader;
      n -= kEthernetHeader;
    }
    int payload_at = 0;
    if (udp_payload(p + skip, n, d, &payload_at)) {
      const uint32_t seconds = file32(file, r);
      uint32_t fraction = file32(file, r + 4);
      if (file->nanoseconds) fraction /= 1000;
      d->seconds = seconds + fraction / 1000000;
      d->microseconds = fraction % 1000000;
      d->offset = packet_at + skip + payload_at;
      return next;
    }
    offset = next;
  }
  return 0;
}

const char* wPcapErrorText(int result) {
  switch (result) {
    case W_PCAP_CUT: return "the file is cut short";
    case W_PCAP_NO_ROOM: return "no room for the record";
    case W_PCAP_NOT_PCAP: return "not a classic pcap file";
    case W_PCAP_LINK_TYPE: return "the packets are not IPv4";
    case W_PCAP_BAD_RECORD: return "a record is damaged";
    case W_PCAP_WRITE_FAILED: return "the file could not be written";
    default: break;
  }
  return result >= 0 ? "no error" : "unknown error";
}

}  // extern "C"
