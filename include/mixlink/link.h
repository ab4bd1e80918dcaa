// SPDX-License-Identifier: MIT
/// \file
/// Console link: channel framing, the TCP connection, the UDP receive and discovery.
/// All state is process-global; one connection at a time; no two calls may run at once.
/// C and C++ alike; no socket header is needed to use it.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/// A socket of the link as the platform knows it: a descriptor on POSIX systems, a SOCKET handle
/// on Windows; W_NO_SOCKET when there is none. Only for waiting on it in a caller's own loop: the
/// library owns it, and every read and write goes through the library.
typedef int64_t w_socket;
#define W_NO_SOCKET ((w_socket)-1)

/// \name Process-global state a caller may read
/// @{

extern int ch_id_tx;      ///< channel wSend selected last; 0 at start, changed only by wSend
extern int ch_id_rx;      ///< current receive channel; 1 at start, set by every decoded select
extern int Wip_mlen;      ///< size of the meter socket's address record, 16
extern char SavedIP[64];  ///< address text of the last successful connection; empty at start
extern int64_t wnext;     ///< second of the monotonic clock after which the next keep-alive is
                          ///< due; 0 = now
extern int64_t wnow;      ///< second of the monotonic clock read by the last keep-alive call

/// Returns the TCP socket to the console, or W_NO_SOCKET when there is no connection.
w_socket wTCPSocket(void);

/// Returns the UDP socket (discovery's, then the meters'), or W_NO_SOCKET when there is none.
w_socket wMeterSocket(void);

/// Returns the console's IPv4 address of the current or last connection (network byte order as
/// laid out in memory, as wMRecvFrom gives a sender), 0 before the first connection.
uint32_t wConsoleAddress(void);

/// @}

/// \name Framing (pure; no socket calls)
/// @{

/// Escapes the first length bytes of buf in place; returns the encoded length, 0 when length <= 0.
/// buf must have room for length plus the number of 0xDF bytes in it.
int wSendEscapes(unsigned char* buf, int length);

/// Un-escapes the first length bytes of buf in place, updating ch_id_rx from every channel select;
/// returns the decoded length (never above length), 0 when length <= 0.
int wRecvEscapes(unsigned char* buf, int length);

/// wRecvEscapes with the receive channel in *channel instead of ch_id_rx; returns the decoded
/// length.
int wDecodeEscapes(unsigned char* buf, int length, int* channel);

/// What un-escaping carries from one received block to the next: start a stream with the channel
/// it begins on and escape_pending 0.
typedef struct w_escape_state {
  int channel;         ///< the current receive channel; while negative, data bytes are dropped
  int escape_pending;  ///< 1 when the bytes so far end in an 0xDF whose second byte is still to
                       ///< come
} w_escape_state;

/// Un-escapes in[0, length) into out, resuming from *state and leaving in it what the next call
/// needs, so that an escape pair cut between two calls decodes whole. A channel select that
/// completes at the start of in is taken first; any other select stops the call in front of its
/// second byte, so every byte written belongs to state->channel as it stands on return (select
/// bytes themselves are not written), and stores the bytes written in *written. out needs room for
/// length + 1 bytes; it may be in itself when no escape is pending, and in - 1 always works
/// (decoding in place one byte behind the input).
/// \return the bytes of in consumed (at least 1 when length > 0; fewer than length only when a
/// select stopped the call), 0 when length <= 0.
int wDecodeEscapeRun(w_escape_state* state, const unsigned char* in, int length, unsigned char* out,
                     int* written);

/// @}

/// \name Connection
/// @{

/// Connects to the console at the dotted IPv4 text in address, or discovers one when it is empty
/// (writing the found address into it).
/// \return
/// - 1 connected
/// - -6 no console found
/// - otherwise as wTCPConnect
int wOpen(char* address);

/// Connects to port 2222 at address (giving up after 3 s when the connection is neither accepted
/// nor refused), selects channel 1, sends the first keep-alive and waits up to 0.9 s for an answer.
/// \return
/// - 1 connected
/// - -7 socket or connect failed or timed out
/// - -5 select send failed
/// - -3 the wait for the first reply failed
int wTCPConnect(const char* address);

/// wOpen whose connecting (wTCPConnectTimed) ends within timeout microseconds; 0 is wOpen.
/// Discovery, when the address is empty, takes its own time before that.
int wOpenTimed(char* address, int timeout);

/// wTCPConnect within timeout microseconds (0: as wTCPConnect): the connect, the first keep-alive
/// and the wait for its answer all end by then. A console that accepts and never answers gives 1
/// once the time is up, as it does after wTCPConnect's 0.9 s; one that neither accepts nor
/// refuses gives -7.
int wTCPConnectTimed(const char* address, int timeout);

/// Sends the keep-alive request when due (every 6 s of the monotonic clock, so a step of the wall
/// clock neither hastens nor delays it).
/// \return
/// - 1 when not due or sent
/// - the result of reconnecting to SavedIP (at most 3 attempts, as wTCPConnect)
/// - -6
int wKeepAlive(void);

/// Releases the link (closes both sockets); always returns 1.
int wClose(void);

/// Selects channel (when it differs from ch_id_tx) and sends payload escaped in place (payload
/// needs room for the escapes); returns the bytes the payload send accepted, or a negative failed
/// send.
int wSend(int channel, unsigned char* payload, int length);

/// Hands out the decoded bytes of the connection's receive stream that no read has taken yet, or,
/// when there are none, receives and un-escapes one block (reading again while full reads leave
/// more waiting); an escape cut by the end of a block decodes with the next. timeout in
/// microseconds, 0 blocks.
/// \return
/// - the decoded length
/// - 0 on time-out or once the console has ended the stream
/// - a negative failed wait or read
/// - -10 when more than capacity bytes were there (buf then holds the first capacity of them
///   and the rest is dropped)
int wRecv(unsigned char* buf, int capacity, int timeout);

/// Returns where the connection stands.
/// \return
/// - 1 while the connection is open
/// - 0 once the console has ended its stream (bytes it sent before that are still read)
/// - -3 after a receive on it failed
/// - -1 when there is no connection
int wLinkState(void);

/// Receives one datagram on wing_msocket; timeout in microseconds, 0 blocks.
/// \return
/// - its length
/// - 0 on time-out
/// - a negative failed wait or read
int wMRecv(unsigned char* buf, int size, int timeout);

/// Sends the map-size query and measures the reply.
/// \return
/// - the smallest multiple of 16 above the reply's byte count
/// - -4 when the send failed
/// - -3 when a read failed
int wSizeMap(void);

/// Returns the library version, 12293 (0x3005).
int wVer(void);

/// Writes the length bytes at data as two-digit lower-case hex numbers with a space between two
/// ("df 00 0a") and a terminating NUL into text, which holds size bytes.
/// \return the text's length (3 * length - 1, or 0 for no bytes), or -10 when size is below
/// 3 * length (1 for no bytes).
int wFormatHex(const unsigned char* data, int length, char* text, int size);

/// Prints "len: N, data:" and each byte as " %02x" and a newline to standard output;
/// returns the result of flushing it (0 on success).
int wDumpBuffer(const unsigned char* data, int length);

/// @}

/// \name Diagnostics
/// @{

/// Receives one diagnostic text of the library (whole lines, each ending in a line feed) with the
/// context that was given to wSetDiagnostics.
typedef void (*w_diagnostic_handler)(void* context, const char* text);

/// Sends the library's diagnostics to handler with context from now on, or to standard error (as
/// at program start) when handler is null; a handler that ignores its text silences them.
/// Returns 1.
int wSetDiagnostics(w_diagnostic_handler handler, void* context);

/// @}

/// \name Discovery
/// @{

/// Returns the host's first non-loopback IPv4 address whose netmask is 255.255.255.0, first
/// number in the lowest byte (network order as laid out in memory); 0 when there is none.
int getmyIP(void);

/// Broadcasts "WING?" to UDP port 2222 up to 5 times, 0.5 s apart, and takes the address from the
/// first reply that begins "WING".
/// \return
/// - 1 found (address holds the text)
/// - 0 no reply
/// - -6 a send or wait failed
/// - -7 socket set-up failed or no 255.255.255.0 network
int wSearchWING(char* address);

/// Takes the address text out of one discovery reply of length bytes: at most 16 characters from
/// byte 5, ended by the first comma; writes it NUL-terminated into address (17 bytes or more).
/// \return 1 for a reply that begins "WING" and holds at least 6 bytes, else 0 (address untouched).
int wParseDiscoveryReply(const unsigned char* data, int length, char* address);

/// @}

/// \name Watching the link
/// @{

/// Receives one datagram on wing_msocket as wMRecv does (timeout in microseconds, 0 blocks; a
/// negative timeout takes only a datagram already waiting) and stores the sender's IPv4 address
/// in *sender (network byte order as laid out in memory; 0 when nothing was read).
/// \return
/// - its length
/// - 0 on time-out
/// - a negative failed wait or read
int wMRecvFrom(unsigned char* buf, int size, int timeout, uint32_t* sender);

/// Reads and discards, without waiting, what the console has sent on the TCP connection (up to
/// 256 KiB a call; channel selects still move ch_id_rx).
/// \return the bytes discarded (0 when none waited), or -3 when the console has closed the
/// connection, the read failed or there is none.
int wDrainTCP(void);

/// @}

#ifdef __cplusplus
}
#endif
