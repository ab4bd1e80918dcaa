// SPDX-License-Identifier: MIT
/// \file
/// Meters: the meter-port command, the subscription and its renewal, and meter datagrams.
#pragma once

#include <stdint.h>

#include <mixlink/link.h>

#ifdef __cplusplus
extern "C" {
#endif

/// The handle forms of the meter calls: each does what its classic namesake does, on link (the
/// meter socket is link's own).
int wLinkMeterUDPPort(w_link* link, int port);
int wLinkSetMetersRequest(w_link* link, int id, const unsigned char* bitmap);
int wLinkRenewMeters(w_link* link, int id);
int wLinkGetMeters(w_link* link, unsigned char* buf, int size, int timeout);

/// Tells the console the UDP port for meter datagrams (sent raw: DF D3 D3 port DF D1) and binds
/// wing_msocket to 0.0.0.0:port.
/// \return
/// - 1
/// - -8 when the bind failed
/// - the send's result when it sent fewer than 7 bytes
int wMeterUDPPort(int port);

/// Subscribes collection id to the meters selected by the first 29 bytes of bitmap, on channel 3;
/// returns 1 when wSend accepted a positive count, else 0.
int wSetMetersRequest(int id, const unsigned char* bitmap);

/// Renews the subscription of collection id on channel 3; returns 1 when wSend accepted a
/// positive count, else 0.
int wRenewMeters(int id);

/// Reads one meter datagram of at most size bytes into buf; timeout in microseconds, 0 blocks.
/// \return
/// - its length
/// - 0 on time-out
/// - a negative failed wait or read
int wGetMeters(unsigned char* buf, int size, int timeout);

/// Composes the subscription payload for id and the first 29 bytes of bitmap into out (room for
/// 270 bytes); returns its length (9 to 270). Pure: sends nothing.
int wComposeMetersRequest(int id, const unsigned char* bitmap, unsigned char* out);

/// The meter group table: group code and first item of each of the 29 bitmap rows.
typedef struct w_meter_row {
  unsigned char code;
  unsigned char first_item;
} w_meter_row;
extern const w_meter_row wmeter_groups[29];

/// \name The RTA bar curve
/// The analyser's 120 band values (signed 16-bit) are drawn on a power curve: value v stands at
/// ((v + 32768) / 32768)^10 of full scale, so 0 is full scale and -32768 nothing.
/// @{

/// Returns band value v as a fraction of full scale on the bar curve, ((v + 32768) / 32768)^10:
/// 0 at -32768, 1 at 0, above 1 for positive values.
double wRtaLevel(int v);

/// Returns band value v's bar height in pixels of the 128-pixel scale, 128 * s^10 with
/// s = (v + 32768) / 32768 in single precision, truncated toward zero: 0 at -32768, 128 at 0,
/// 131052 at 32767.
int wRtaBarHeight(int v);

/// Returns the band value at level (a fraction of full scale) on the bar curve, the inverse of
/// wRtaLevel: 32768 * level^(1/10) - 32768 rounded to the nearest whole number and held to
/// -32768..32767; -32768 for a level of 0 or below.
int wRtaValueOfLevel(double level);

/// Reads the 120 band values of an RTA meter datagram of length bytes into values.
/// Pure: the values are the signed 16-bit big-endian numbers behind the 4-byte header.
/// \return
/// - 1
/// - 0 when datagram or values is null, or length is below the 244 bytes of a whole RTA block
///   (values then stay as they were)
int wRtaValues(const unsigned char* datagram, int length, int16_t values[120]);

/// @}

#ifdef __cplusplus
}
#endif
