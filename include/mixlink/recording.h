// SPDX-License-Identifier: MIT
/** \file
 * Meter recordings as classic pcap files: a 24-byte file header, then per datagram a 16-byte
 * record header and the datagram as an IPv4/UDP packet (link type 101, raw IPv4), so standard
 * network tools open them. Pure functions over caller-owned bytes, and a writer that appends
 * records to a file as datagrams come; no sockets. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** \name Sizes
 * Of the file header, of a record header and of the IPv4 and UDP headers before a payload.
 * @{ */
#define W_PCAP_FILE_HEADER 24
#define W_PCAP_RECORD_HEADER 16
#define W_PCAP_PACKET_HEADERS 28
/** @} */
/** The largest payload of one UDP datagram over IPv4. */
#define W_PCAP_MAX_PAYLOAD 65507

/** \name Results of the reader and the writer besides a length
 * @{ */
#define W_PCAP_CUT (-2)        /**< the bytes end inside a header or a record */
#define W_PCAP_NO_ROOM (-10)   /**< the output buffer is too small */
#define W_PCAP_NOT_PCAP (-11)  /**< the file does not begin with a classic pcap magic */
#define W_PCAP_LINK_TYPE (-12) /**< the packets are not IPv4 (raw, or behind an Ethernet header) */
#define W_PCAP_BAD_RECORD (-14) /**< a record claims more bytes than a packet can have */
#define W_PCAP_WRITE_FAILED (-15) /**< the file could not be written */
/** @} */

/** What the reader learnt from a file header. */
typedef struct w_pcap_file {
  int swapped;      /**< 1 when the file was written in the other byte order */
  int nanoseconds;  /**< 1 when its timestamps count nanoseconds */
  uint32_t link_type;
} w_pcap_file;

/** One UDP datagram of a recording. Addresses are numbers (127.0.0.1 is 0x7F000001). */
typedef struct w_pcap_datagram {
  uint32_t seconds;       /**< arrival time since 1970 */
  uint32_t microseconds;  /**< 0 to 999999 */
  uint32_t source;
  uint32_t destination;
  int source_port;
  int destination_port;
  int offset;  /**< where the payload starts in the bytes read (set by the reader only) */
  int length;  /**< payload bytes */
} w_pcap_datagram;

/** Writes the file header (magic 0xA1B2C3D4 little-endian, version 2.4, snap length 65535, link
 * type 101) into out of size bytes.
 * \return W_PCAP_FILE_HEADER, or W_PCAP_NO_ROOM. */
int wPcapWriteFileHeader(unsigned char* out, int size);

/** Writes the record of datagram d with payload d->length bytes at payload into out of size bytes
 * (record header, IPv4 header with its checksum, UDP header).
 * \return
 * - the bytes written (W_PCAP_RECORD_HEADER + W_PCAP_PACKET_HEADERS + d->length)
 * - W_PCAP_NO_ROOM
 * - W_PCAP_BAD_RECORD when the length, a port or the microseconds are out of range */
int wPcapWriteDatagram(const w_pcap_datagram* d, const unsigned char* payload, unsigned char* out, int size);

/** Reads the file header from the first length bytes of data into file.
 * \return
 * - W_PCAP_FILE_HEADER
 * - W_PCAP_CUT when fewer than 24 bytes
 * - W_PCAP_NOT_PCAP
 * - W_PCAP_LINK_TYPE */
int wPcapReadFileHeader(const unsigned char* data, int length, w_pcap_file* file);

/** Reads the next UDP datagram of the records from offset on (the first at W_PCAP_FILE_HEADER),
 * skipping packets that are not whole unfragmented IPv4/UDP datagrams, and reads nothing at or
 * past data + length.
 * \return
 * - the offset of the record after it (and fills d, whose payload is data + d->offset)
 * - 0 when the records end at length
 * - W_PCAP_CUT when they end inside a record
 * - W_PCAP_BAD_RECORD when a record claims more than 262144 bytes */
int wPcapReadDatagram(const w_pcap_file* file, const unsigned char* data, int length, int offset, w_pcap_datagram* d);

/** A recording file being written; made by wPcapCreate, ended by wPcapClose. */
typedef struct w_pcap_writer w_pcap_writer;

/** Creates (or empties) the file at path (a name in the system's narrow encoding) and writes
 * the file header.
 * \return the writer, or null when the file cannot be created or written */
w_pcap_writer* wPcapCreate(const char* path);

/** Appends the record of datagram d with payload d->length bytes at payload to the file.
 * \return
 * - the bytes of the record
 * - W_PCAP_BAD_RECORD as wPcapWriteDatagram
 * - W_PCAP_WRITE_FAILED when writer is null or a write has failed (this one or an earlier one) */
int wPcapAppend(w_pcap_writer* writer, const w_pcap_datagram* d, const unsigned char* payload);

/** Hands what is buffered to the system, so that a run cut by a crash keeps the records so far.
 * \return 1, or W_PCAP_WRITE_FAILED */
int wPcapFlush(w_pcap_writer* writer);

/** Writes out what is buffered, closes the file and frees writer (null: nothing to do).
 * \return 1, or W_PCAP_WRITE_FAILED when any write of the file failed */
int wPcapClose(w_pcap_writer* writer);

/** Returns an IPv4 address held as its four bytes in network order (as sockets hand it out) as a
 * number: the bytes 127 0 0 1 give 0x7F000001. */
uint32_t wAddressNumber(uint32_t network_order);

/** Returns a short English text for a result of the functions above ("the file is cut short"). */
const char* wPcapErrorText(int result);

#ifdef __cplusplus
}
#endif
