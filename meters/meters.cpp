// SPDX-License-Identifier: MIT
// Meters: telling the console where to send meter datagrams, subscribing, renewing, reading.
#include <mixlink/link.h>
#include <mixlink/meters.h>
#include <mixlink/protocol.h>

#include "link/link_state.h"
#include "link/platform.h"
#include "link/wire.h"

using namespace mixlink;

const w_meter_row wmeter_groups[29] = {
    {0xA0, 0},  {0xA0, 8},  {0xA0, 16}, {0xA0, 24}, {0xA0, 32}, {0xA1, 0},  {0xA2, 0},  {0xA2, 8},
    {0xA3, 0},  {0xA4, 0},  {0xA5, 0},  {0xA6, 0},  {0xA6, 8},  {0xA7, 0},  {0xA7, 8},  {0xA8, 0},
    {0xA8, 8},  {0xA9, 0},  {0xAA, 0},  {0xAB, 0},  {0xAB, 8},  {0xAB, 16}, {0xAB, 24}, {0xAB, 32},
    {0xAC, 0},  {0xAD, 0},  {0xAD, 8},  {0xAE, 0},  {0xAF, 0},
};

namespace {

constexpr int kRequestBuffer = 320;  // largest request plus every escape the encoder may add

int put_command(unsigned char* out, int id) {
  out[0] = kMeterSubscribe;
  wire::put_be32(out + 1, static_cast<uint32_t>(id));
  return 5;
}

// The console reads these two payload bytes as the end of the request; they travel escaped,
// so they do not switch the channel back.
int put_trailer(unsigned char* out) {
  out[0] = kEscape;
  out[1] = kSelectFirst + kValueChannel;
  return 2;
}

}  // namespace

int wComposeMetersRequest(int id, const unsigned char* bitmap, unsigned char* out) {
  int n = put_command(out, id);
  out[n++] = kMeterListStart;
  for (int r = 0; bitmap != nullptr && r < 29; ++r) {
    const unsigned char b = bitmap[r];
    if (b == 0) continue;
    out[n++] = wmeter_groups[r].code;
    for (int bit = 7; bit >= 0; --bit)
      if ((b >> bit) & 1) out[n++] = static_cast<unsigned char>(wmeter_groups[r].first_item + (7 - bit));
  }
  out[n++] = kMeterListEnd;
  n += put_trailer(out + n);
  return n;
}

int wLinkMeterUDPPort(w_link* link, int port) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  const unsigned char command[7] = {kEscape,
                                    kSelectFirst + kMeterChannel,
                                    kMeterPortCommand,
                                    static_cast<unsigned char>((port >> 8) & 0xFF),
                                    static_cast<unsigned char>(port & 0xFF),
                                    kEscape,
                                    kSelectFirst + kValueChannel};
  const int sent = detail::send_raw(*link, command, 7);
  // The command leaves the console on channel 1 whatever wSend selected last, so the next
  // subscription or renewal must select channel 3 again.
  if (sent > 0) link->tx = -1;
  if (sent < 7) return sent;
  return detail::bind_meter_socket(*link, port) == 0 ? 1 : -8;
}

int wLinkSetMetersRequest(w_link* link, int id, const unsigned char* bitmap) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  unsigned char payload[kRequestBuffer] = {};
  const int n = wComposeMetersRequest(id, bitmap, payload);
  return wLinkSend(link, kMeterChannel, payload, n) > 0 ? 1 : 0;
}

int wLinkRenewMeters(w_link* link, int id) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  unsigned char payload[16] = {};
  int n = put_command(payload, id);
  n += put_trailer(payload + n);
  return wLinkSend(link, kMeterChannel, payload, n) > 0 ? 1 : 0;
}

int wLinkGetMeters(w_link* link, unsigned char* buf, int size, int timeout) {
  return wLinkMRecv(link, buf, size, timeout);
}

int wMeterUDPPort(int port) { return wLinkMeterUDPPort(wLinkDefault(), port); }

int wSetMetersRequest(int id, const unsigned char* bitmap) { return wLinkSetMetersRequest(wLinkDefault(), id, bitmap); }

int wRenewMeters(int id) { return wLinkRenewMeters(wLinkDefault(), id); }

int wGetMeters(unsigned char* buf, int size, int timeout) { return wLinkGetMeters(wLinkDefault(), buf, size, timeout); }
