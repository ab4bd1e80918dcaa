// SPDX-License-Identifier: MIT
/// \file
/// Console link: channel framing, the TCP connection, the UDP receive and discovery.
/// Each connection is a link (w_link) that owns its sockets, receive stream, channel state,
/// keep-alive clock, liveness and diagnostics handler. The classic calls (wOpen, wSend, ...) work
/// on the default link, whose state is the process-global variables below. One thread uses a link
/// at a time; different links may be used on different threads at once.
/// C and C++ alike; no socket header is needed to use it.
#pragma once

#include <stdint.h>

#include <mixlink/result.h>

#ifdef __cplusplus
extern "C" {
#endif

/// A socket of the link as the platform knows it: a descriptor on POSIX systems, a SOCKET handle
/// on Windows; W_NO_SOCKET when there is none. Only for waiting on it in a caller's own loop: the
/// library owns it, and every read and write goes through the library.
typedef int64_t w_socket;
#define W_NO_SOCKET ((w_socket)-1)

/// One connection to a console, opaque to callers.
typedef struct w_link w_link;

/// A console that has sent nothing for this many milliseconds since it was asked (by a keep-alive
/// or a liveness probe) is lost.
#define W_LINK_SILENCE_MS 3000

/// \name Links
/// @{

/// Returns a new link with no connection, or null when memory runs out; free it with wLinkFree.
w_link* wLinkNew(void);

/// Closes link and frees it; the default link is closed but stays. Null is ignored.
void wLinkFree(w_link* link);

/// Returns the process's default link, the one the classic calls use.
w_link* wLinkDefault(void);

/// Connects link to the console at address: a dotted IPv4 address or a host name (resolved by
/// the system, IPv4), either optionally followed by ":PORT" (default 2222); an empty text runs
/// discovery and writes the address found into it. Like wOpen it selects channel 1, sends a
/// keep-alive and waits up to 0.9 s for an answer, connected whether one came or not
/// (wLinkAnswered tells; wLinkAlive judges the console lost when none comes).
/// \return
/// - W_SUCCESS connected
/// - W_ERR_NO_CONSOLE no console found by discovery
/// - W_ERR_UNKNOWN_HOST the address is malformed or names no host
/// - W_ERR_CONNECT socket or connect failed or timed out
/// - W_ERR_SELECT the select send failed
/// - W_ERR_NO_ANSWER the wait for the first answer failed
/// - W_ERR_ARGUMENT link or address is null
int wLinkOpen(w_link* link, char* address);

/// wLinkOpen whose connecting ends within timeout microseconds (0: as wLinkOpen), as
/// wTCPConnectTimed's does; discovery, when the address is empty, takes its own time before that.
int wLinkOpenTimed(w_link* link, char* address, int timeout);

/// Releases link's connection (closes both sockets); returns W_SUCCESS.
int wLinkClose(w_link* link);

/// Returns where link's connection stands, as wLinkState does for the default link.
int wLinkStatus(w_link* link);

/// Tells whether link's console still answers: takes what it has sent into the receive stream
/// (where it stays for the reads), asks it (a keep-alive's read) when it has been silent for a
/// second, and judges it lost once it has answered nothing for W_LINK_SILENCE_MS since it was
/// asked. Call it every few hundred milliseconds while the link is in use.
/// \return
/// - W_SUCCESS the console answers
/// - W_ERR_LOST the console stopped answering
/// - W_ERR_RECEIVE the console ended the connection, or a receive failed
/// - W_ERR_SEND the question could not be sent
/// - W_ERR_NO_LINK there is no connection
int wLinkAlive(w_link* link);

/// Returns 1 once link's console has sent anything on the current connection, 0 while it has not,
/// W_ERR_NO_LINK without a connection. A reconnection counts only once this is 1: a frozen
/// console's listen backlog takes a connection but never answers on it.
int wLinkAnswered(w_link* link);

/// Returns the milliseconds since link's console last sent anything (since connecting, when it has
/// sent nothing), or W_ERR_NO_LINK.
int wLinkSilence(w_link* link);

/// Sends link's diagnostics to handler with context, or to standard error when handler is null.
/// Returns W_SUCCESS.
int wLinkSetDiagnostics(w_link* link, void (*handler)(void* context, const char* text), void* context);

/// The handle forms of the calls below: each does what its classic namesake does, on link.
w_socket wLinkTCPSocket(w_link* link);
w_socket wLinkMeterSocket(w_link* link);
uint32_t wLinkConsoleAddress(w_link* link);
int wLinkKeepAlive(w_link* link);
int wLinkSend(w_link* link, int channel, unsigned char* payload, int length);
int wLinkRecv(w_link* link, unsigned char* buf, int capacity, int timeout);
int wLinkMRecv(w_link* link, unsigned char* buf, int size, int timeout);
int wLinkMRecvFrom(w_link* link, unsigned char* buf, int size, int timeout, uint32_t* sender);
int wLinkSizeMap(w_link* link);
int wLinkDrainTCP(w_link* link);

/// @}

/// \name The default link's state, which a caller may read
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

/// Connects the default link to port 2222 at address, a dotted IPv4 text (giving up after 3 s when the connection is neither accepted
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
/// - the result of reconnecting to SavedIP (at most 3 attempts, as wTCPConnect; -3 when the
///   console accepts the new connection but does not answer on it within 0.9 s)
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

/// Sends the default link's diagnostics to handler with context from now on, or to standard
/// error (as at program start) when handler is null; a handler that ignores its text silences
/// them. Returns 1.
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
