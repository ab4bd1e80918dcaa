// SPDX-License-Identifier: MIT
/// \file
/// Container reads: value text, the relative-name container dump, and reads of a whole subtree
/// (as text or token-value records) or of a node's raw reply bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <mixlink/values.h>

#ifdef __cplusplus
extern "C" {
#endif

/// \name Value text (pure)
/// @{

/// Capacity a value text needs: a 256-character long string, its comma and the NUL.
enum { W_VALUE_TEXT_SIZE = 258 };

/// Writes the value text of the token at buf[position] into text (W_VALUE_TEXT_SIZE bytes) and
/// returns the position after the token; codes 0xDA-0xFF write an empty text and advance one byte.
/// With length >= 0 the token must lie below buf[length]: one that would run past it (or a
/// position outside the data) writes an empty text and returns 0. length < 0 means unchecked.
int wParseToNode(void* unused, const unsigned char* buf, int position, char* text, int length);

/// @}

/// \name Container dump composition (pure)
/// @{

/// Composition state of one dump: the caller's text buffer and the previous path.
typedef struct w_dump {
  char* text;         ///< the dump, always NUL-terminated
  size_t capacity;    ///< bytes of text, the NUL included
  size_t length;      ///< characters in text so far
  char previous[64];  ///< path of the previous leaf (the container's own path at the start)
  int depth;          ///< number of "." in previous
} w_dump;

/// Starts a dump of container into text (capacity bytes, emptied).
/// \return
/// - 1
/// - -10 when capacity is 0
/// - -2 when the container path is longer than 63 characters
int wDumpStart(w_dump* dump, const char* container, char* text, size_t capacity);

/// Appends the entry for leaf path with its value text: the name relative to the previous leaf,
/// "=", value.
/// \return
/// - 1
/// - -10 when it does not fit (text and state unchanged)
/// - -2 when path is longer than 63 characters
int wDumpAppend(w_dump* dump, const char* path, const char* value);

/// Ends the dump with a line feed; returns 1, or -10 when it does not fit.
int wDumpFinish(w_dump* dump);

/// Writes the name part of path after previous (as wDumpAppend does) into out (capacity bytes);
/// returns its length, or -10 when it does not fit.
int wDumpNamePart(const char* previous, const char* path, char* out, int capacity);

/// @}

/// \name Subtree shape (pure, over the dictionary)
/// @{

/// Returns the number of leaves at or below token (1 for a leaf), counted over the dictionary rows;
/// 0 for a token not below wds_imax.
int wNodeLeafCount(uint32_t token);

/// Returns the first row after token's subtree (token + 1 for a leaf); wds_imax at the end.
uint32_t wNodeSubtreeEnd(uint32_t token);

/// @}

/// \name Container reply walk (pure)
/// @{

/// Counts the whole entries (0xD7, hash, value token; at most limit) at the start of a container
/// reply of length bytes and stores in *end the position after the last of them. An entry whose
/// value code is no value token counts as 6 bytes, as the dump reads it.
/// \return the count, or -2 when a byte where an entry must start is not 0xD7 (*end then holds
/// that position).
int wCountReplyEntries(const unsigned char* buf, int length, int limit, int* end);

/// Appends the entries of a container reply to a dump started for container: each entry's hash
/// must name a leaf of the dictionary.
/// \return
/// - the entries appended
/// - -2 for a malformed reply (the dump keeps the entries before it)
/// - -10 when the dump text is full
int wReplyToDump(const unsigned char* buf, int length, w_dump* dump);

/// Decodes the entries of a container reply into at most capacity records (token, type, value). On
/// a failure the texts of the records filled are freed and nulled, so the caller owns texts only
/// after a count.
/// \return
/// - the records filled
/// - -2 for a malformed reply
/// - -10 when more entries than capacity arrived
/// - wParseToTV's 0 / -9 for a bad value code or a failed allocation
int wReplyToTVArray(const unsigned char* buf, int length, w_token_value* records, int capacity);

/// @}

/// \name Reads on the open connection (channel 1)
/// Each read takes its reply out of the connection's receive stream: what arrived in front of it
/// (events, other replies, stray bytes) is passed over, and what arrived behind it stays for the
/// next read. A container read keeps receiving until the entries of every leaf below the container
/// are in, and ends short when the reply pauses for a second. The timed forms also end at their
/// deadline: timeout in microseconds, 0 without limit; they return 0 when it passed first.
/// @{

/// Reads container token as a dump into text (capacity bytes; SIZE_MAX trusts the caller to have
/// room for the whole dump).
/// \return
/// - 1
/// - -1 token out of range or not a container (text untouched)
/// - -2 malformed reply, no reply, or the reply stopped short (the text shows the entries that
///   came)
/// - -3 the receive failed or the console ended the stream before the reply
/// - -4 send failed
/// - -9 allocation failed
/// - -10 the dump does not fit in capacity
int wGetNode(uint32_t token, char* text, size_t capacity);
/// wGetNode with a time-out; returns as wGetNode, or 0 (the text showing the entries that came).
int wGetNodeTimed(uint32_t token, char* text, size_t capacity, int timeout);

/// Reads container token into records (capacity of them; INT32_MAX trusts the caller with one
/// record per leaf). Texts in the records belong to the caller after a count; a failure frees
/// those it had filled.
/// \return
/// - the records filled
/// - -1, -2, -3, -4, -9 as wGetNode
/// - 0 or -9 from the value parser
/// - -10 capacity is below the container's leaf count (nothing sent)
int wGetNodeToTVArray(uint32_t token, w_token_value* records, int capacity);
/// wGetNodeToTVArray with a time-out; returns as wGetNodeToTVArray, or 0 (no records kept).
int wGetNodeToTVArrayTimed(uint32_t token, w_token_value* records, int capacity, int timeout);

/// Sends a read of any row and copies its whole reply (for a container: every leaf's entry and the
/// closing byte), recognised by the hash of the first leaf at or after token, into buf (size
/// bytes).
/// \return
/// - its byte count
/// - 0 when the reply did not start within 50 receives
/// - -1 token out of range
/// - -2 the reply stopped short or is malformed
/// - -3 the receive failed or the console ended the stream before the reply
/// - -4 send failed
/// - -9 allocation failed
/// - -10 the reply is larger than size (and dropped)
int wGetBinaryNode(uint32_t token, unsigned char* buf, int size);
/// wGetBinaryNode with a time-out; returns as wGetBinaryNode, or 0 when the deadline passed first.
int wGetBinaryNodeTimed(uint32_t token, unsigned char* buf, int size, int timeout);

/// wGetBinaryNode for a path in any letter case; returns as wGetBinaryNode, or -13 when the path
/// is not in the dictionary (nothing sent).
int wGetBinaryData(const char* path, unsigned char* buf, int size);
/// wGetBinaryData with a time-out; returns as wGetBinaryData, or 0 when the deadline passed first.
int wGetBinaryDataTimed(const char* path, unsigned char* buf, int size, int timeout);

/// @}

/// \name Container and raw reads on a link
/// The handle forms of the reads above: each does what its classic namesake does, on link, and
/// returns W_ERR_ARGUMENT for a null link.
/// @{

int wLinkGetNode(w_link* link, uint32_t token, char* text, size_t capacity);
int wLinkGetNodeTimed(w_link* link, uint32_t token, char* text, size_t capacity, int timeout);
int wLinkGetNodeToTVArray(w_link* link, uint32_t token, w_token_value* records, int capacity);
int wLinkGetNodeToTVArrayTimed(w_link* link, uint32_t token, w_token_value* records, int capacity, int timeout);
int wLinkGetBinaryNode(w_link* link, uint32_t token, unsigned char* buf, int size);
int wLinkGetBinaryNodeTimed(w_link* link, uint32_t token, unsigned char* buf, int size, int timeout);
int wLinkGetBinaryData(w_link* link, const char* path, unsigned char* buf, int size);
int wLinkGetBinaryDataTimed(w_link* link, const char* path, unsigned char* buf, int size, int timeout);

/// @}

#ifdef __cplusplus
}

/// \name The short forms for C++ callers
/// The value text without a length (the caller vouches for the whole token) and the container
/// reads without a capacity (the caller has room for the whole dump, or one record per leaf).
/// @{
inline int wParseToNode(void* unused, const unsigned char* buf, int position, char* text) {
  return wParseToNode(unused, buf, position, text, -1);
}
inline int wGetNode(uint32_t token, char* text) { return wGetNode(token, text, SIZE_MAX); }
inline int wGetNodeToTVArray(uint32_t token, w_token_value* records) {
  return wGetNodeToTVArray(token, records, INT32_MAX);
}
/// @}
#endif
