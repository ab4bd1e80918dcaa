// SPDX-License-Identifier: MIT
/// \file
/// Value protocol: value tokens, value and definition reads by token, and the event stream.
#pragma once

#include <stdint.h>

#include <mixlink/link.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Value type codes of a decoded value.
enum {
  W_VALUE_HASH = 0,    ///< a 32-bit node hash, not a node's value
  W_VALUE_INT = 1,
  W_VALUE_FLOAT = 2,
  W_VALUE_STRING = 3,  ///< a text owned by the receiver, or a null pointer for the empty string
};

/// Where a decoder stores one value. For hash, integer and float only the 32-bit member is written;
/// for a string the pointer is written (a new buffer the receiver frees with free(), or null).
typedef union w_value {
  int32_t i;
  float f;
  uint32_t hash;
  char* s;
} w_value;

/// One decoded event or container leaf.
typedef struct w_token_value {
  uint32_t token;  ///< row of the node dictionary; 0 for a node it lacks
  int32_t type;    ///< value type code
  w_value value;
} w_token_value;

/// \name Token encoding (one encoder for the simulator, the tests and the tools)
/// @{

/// Writes the value token of class code into out (capacity bytes): codes 0x00-0x7F, 0xD0 and 0xD8
/// as the bare byte; 0xD2/0xD3 (16-bit), 0xD4 (32-bit), 0xD9 (byte) from value.i; 0xD5/0xD6 from
/// value.f; 0xD7 from value.hash; the string classes 0x80 (short, 1-64), 0xC0 (tiny, 1-16) and
/// 0xD1 (long, 1-256) from text and text_length, the code byte adjusted to the length.
/// Returns the bytes written, or 0 when the value does not fit the code or out is too small.
int wEncodeToken(unsigned char code, w_value value, const char* text, int text_length,
                 unsigned char* out, int capacity);

/// Writes v as the shortest integer token (0-63 small, 64-255 byte, 16-bit, 32-bit); returns bytes.
int wEncodeInt(int32_t v, unsigned char* out);

/// Writes text as empty (0), tiny (1-16), short (17-64) or long (65-256) string; returns bytes,
/// 0 when length is above 256 or negative.
int wEncodeString(const char* text, int length, unsigned char* out);

/// @}

/// \name Decoding (pure)
/// @{

/// Decodes the value token at token into type and value. The buffer must hold the whole token.
/// \return
/// - 1 stored
/// - 0 not a value token (nothing written)
/// - -9 a text buffer could not be allocated
int wParesToValue(const unsigned char* token, int* type, w_value* value);

/// Like wParesToValue for a token that must lie within length bytes from token; a token that would
/// run past them gives 0, nothing written.
int wParesToValueBounded(const unsigned char* token, int length, int* type, w_value* value);

/// Returns the wire length of the value token at token within length bytes, or 0 when it is not a
/// value token or runs past length.
int wTokenLength(const unsigned char* token, int length);

/// Decodes the value token at block[position] into record's type and value (token field untouched).
/// length < 0 means unchecked (the caller vouches that the whole token is there).
/// \return
/// - the position after it
/// - 0 when it is not a value token or runs past length (record untouched)
/// - -9 when a text could not be allocated
int wParseToTV(const unsigned char* block, int position, w_token_value* record, int length);

/// Walks one block of events (0xD7, hash, value token) into at most n records, passing bytes that
/// start no event one at a time and the events of nodes the dictionary lacks whole.
/// \return the records filled, or 0 / -9 when an event cut off by the block end, a known node's
/// event whose code is no value token or a failed text allocation ends the walk (texts already
/// filled are then freed and nulled).
int wParseEventBlock(const unsigned char* block, int length, w_token_value* records, int n);

/// Finds the definition bytes of node hash in one definition reply block of length bytes.
/// \return 1 with *data and *data_length set, 0 when the block is not that node's definition or is
/// shorter than its header.
int wParseDefinitionReply(const unsigned char* block, int length, uint32_t hash,
                          const unsigned char** data, int* data_length);

/// @}

/// \name Reads on the open connection (channel 1)
/// Each read takes its reply out of the connection's receive stream wherever the network cut it;
/// what arrived in front of it is passed over (the raw reads end on another node's reply), and
/// what arrived behind it stays for the next read. Timeouts are in microseconds; a timed read
/// returns by its deadline.
///
/// The value reads (wGetToken to wGetTokenStringTimed) return
/// - 1 stored
/// - 0 no value (time-out, not a value token, empty string, another node)
/// - -1 container or node-hash value
/// - -2 token out of range
/// - -3 receive failed or the console ended the stream (blocking reads)
/// - -4 send failed
/// - -9 allocation failed
/// @{

int wGetToken(uint32_t token, int* type, w_value* value);
int wGetTokenTimed(uint32_t token, int* type, w_value* value, int timeout);
int wGetTokenFloat(uint32_t token, float* value);
int wGetTokenInt(uint32_t token, int* value);
int wGetTokenString(uint32_t token, char* text);  ///< text: 257 bytes
int wGetTokenFloatTimed(uint32_t token, float* value, int timeout);
int wGetTokenIntTimed(uint32_t token, int* value, int timeout);
int wGetTokenStringTimed(uint32_t token, char* text, int timeout);
/// Reads the definition bytes of token into a new buffer (caller frees with free()). Other traffic
/// in front of the reply is passed over. The definition runs to the end of the received block in
/// which its header became whole; the header's count field only tells it from what came in the
/// same block behind it, or joins a reply cut by the network (waiting at most 100 ms for each
/// further block), and is never waited for.
/// \return
/// - 1 with *length and *data set
/// - -2 token out of range
/// - -3 receive failed or the console ended the stream
/// - -4 send failed
/// - -9 allocation failed
int wGetTokenDef(uint32_t token, int* length, unsigned char** data);
/// wGetTokenDef giving up after timeout microseconds (0: without limit); returns as wGetTokenDef,
/// or 0 when the deadline passed first.
int wGetTokenDefTimed(uint32_t token, int* length, unsigned char** data, int timeout);

/// Takes the events that are whole in the receive stream (receiving when there are none) into at
/// most n records, passing over stray bytes and the keep-alive's answer (a late reply to a read
/// that gave up is an event: it holds the node's value); events beyond n, and one cut by the end
/// of what came, stay for the next call. timeout 0 waits without limit for an event.
/// \return
/// - the records filled
/// - 0 on time-out, when the console ended the stream, for n <= 0, or for a known node's event
///   whose code is no value token (which is then dropped)
/// - -3 receive failed
/// - -9 allocation failed
int wGetParsedEventsTimed(w_token_value* records, int n, int timeout);
/// wGetParsedEventsTimed without a time-out.
int wGetParsedEvents(w_token_value* records, int n);

/// Moves the events that are whole in the receive stream (receiving when there are none, for up to
/// timeout microseconds, 0 without limit) into buf as their bytes (0xD7, hash, value token) back
/// to back, passing over what wGetParsedEventsTimed passes over and dropping what it drops, and
/// leaving for the next call the events beyond capacity and one cut by the end of what came.
/// \return
/// - the bytes written
/// - 0 on time-out, once the console has ended the stream, or for capacity <= 0
/// - -3 when the receive failed
/// - -9 when memory ran out
/// - -10 when the first event is longer than capacity
int wGetEventEntriesTimed(unsigned char* buf, int capacity, int timeout);

/// @}

/// \name Reads on a link
/// The handle forms of the reads above: each does what its classic namesake does, on link, and
/// returns W_ERR_ARGUMENT for a null link.
/// @{

int wLinkGetToken(w_link* link, uint32_t token, int* type, w_value* value);
int wLinkGetTokenTimed(w_link* link, uint32_t token, int* type, w_value* value, int timeout);
int wLinkGetTokenFloat(w_link* link, uint32_t token, float* value);
int wLinkGetTokenInt(w_link* link, uint32_t token, int* value);
int wLinkGetTokenString(w_link* link, uint32_t token, char* text);
int wLinkGetTokenFloatTimed(w_link* link, uint32_t token, float* value, int timeout);
int wLinkGetTokenIntTimed(w_link* link, uint32_t token, int* value, int timeout);
int wLinkGetTokenStringTimed(w_link* link, uint32_t token, char* text, int timeout);
int wLinkGetTokenDef(w_link* link, uint32_t token, int* length, unsigned char** data);
int wLinkGetTokenDefTimed(w_link* link, uint32_t token, int* length, unsigned char** data, int timeout);
int wLinkGetParsedEventsTimed(w_link* link, w_token_value* records, int n, int timeout);
int wLinkGetParsedEvents(w_link* link, w_token_value* records, int n);
int wLinkGetEventEntriesTimed(w_link* link, unsigned char* buf, int capacity, int timeout);

/// Value requests a pipelined read keeps in flight at most.
#define W_PIPELINE_WINDOW 128

/// Reads the values of n leaves at once: sends their requests back to back, at most
/// W_PIPELINE_WINDOW unanswered at a time, and matches each reply to its request by node hash,
/// so that n values cost about n / W_PIPELINE_WINDOW round trips instead of n. records[i] gets
/// tokens[i] and its value (type and value as wParseToTV writes them; a text belongs to the
/// caller, who frees it with free()); a leaf whose value did not come by the deadline, that is no
/// leaf or is out of range gets token 0, type 0 and value 0. Events and other replies that arrive
/// among the answers are passed over and stay for their readers. timeout in microseconds for the
/// whole read, 0 without limit. On a failure every record is left empty (token 0, no text).
/// \return
/// - the number of values that arrived (0 to n)
/// - W_ERR_SEND a request could not be sent
/// - W_ERR_RECEIVE the receive failed or the console ended the stream
/// - W_ERR_NO_MEMORY memory ran out
/// - W_ERR_ARGUMENT a null pointer or n below 0
int wLinkGetTokensTimed(w_link* link, const uint32_t* tokens, int n, w_token_value* records, int timeout);

/// @}

#ifdef __cplusplus
}

/// The record decoder without a length, for C++ callers: the caller vouches that the whole token
/// is there.
inline int wParseToTV(const unsigned char* block, int position, w_token_value* record) {
  return wParseToTV(block, position, record, -1);
}
#endif
