// SPDX-License-Identifier: MIT
/// \file
/// The console's wire constants, in one place for the library, mixsim and the tests. C and C++
/// alike: each value is written once, as a W_ macro; C++ code also gets it as a typed constant in
/// namespace mixlink.
#pragma once

/// \name TCP framing
/// 0xDF opens an escape; 0xDF 0xD0+n selects channel n (0 to 13); 0xDF 0xDE stands for one data
/// byte 0xDF.
/// @{
#define W_ESCAPE 0xDF
#define W_ESCAPED_ESCAPE 0xDE
#define W_SELECT_FIRST 0xD0
#define W_SELECT_LAST 0xDD
#define W_CHANNEL_COUNT 14
#define W_VALUE_CHANNEL 1 ///< value, definition and container requests
#define W_METER_CHANNEL 3 ///< meter-port command, subscription, renewal
/// @}

/// \name Value token codes (one code byte, then the payload it announces)
/// @{
#define W_TOK_SMALL_INT_FIRST 0x00  ///< 0x00-0x3F: the value itself
#define W_TOK_SMALL_INT_LAST 0x3F
#define W_TOK_OFFSET_INT_FIRST 0x40 ///< 0x40-0x7F: no payload
#define W_TOK_OFFSET_INT_LAST 0x7F
#define W_TOK_SHORT_STR_FIRST 0x80  ///< c - 127 text bytes (1 to 64)
#define W_TOK_SHORT_STR_LAST 0xBF
#define W_TOK_TINY_STR_FIRST 0xC0   ///< c - 191 text bytes (1 to 16)
#define W_TOK_TINY_STR_LAST 0xCF
#define W_TOK_EMPTY_STR 0xD0
#define W_TOK_LONG_STR 0xD1         ///< length byte L, then L + 1 text bytes
#define W_TOK_INT16 0xD2
#define W_TOK_INT16_ALT 0xD3
#define W_TOK_INT32 0xD4
#define W_TOK_FLOAT 0xD5
#define W_TOK_FLOAT_ALT 0xD6
#define W_TOK_NODE_HASH 0xD7        ///< also the lead byte of every request and entry
#define W_TOK_TOGGLE 0xD8
#define W_TOK_BYTE 0xD9
#define W_TOK_FIRST_INVALID 0xDA    ///< 0xDA-0xFF are not value tokens
/// @}

/// \name Request codes, after 0xD7 and a node hash
/// @{
#define W_REQ_VALUE 0xDC
#define W_REQ_DEFINITION 0xDD
#define W_DEFINITION_REPLY 0xDF     ///< first byte of a definition reply
#define W_MAP_SIZE_REQUEST 0xDA     ///< 0xDA 0xDC on channel 1
/// @}

/// \name Meter commands on channel 3
/// @{
#define W_METER_PORT_COMMAND 0xD3   ///< then the UDP port, big-endian
#define W_METER_SUBSCRIBE 0xD4      ///< then the collection id, big-endian
#define W_METER_LIST_START 0xDC
#define W_METER_LIST_END 0xDE
/// @}

/// \name The RTA block
/// Bit 7 of meter-selection row 18 (item 0 of group 0xAA); its datagram holds a header and then
/// one signed 16-bit big-endian value per band.
/// @{
#define W_RTA_BITMAP_ROW 18
#define W_RTA_BITMAP_BIT 0x80
#define W_RTA_HEADER_BYTES 4
#define W_RTA_VALUES 120
#define W_RTA_BYTES (W_RTA_HEADER_BYTES + 2 * W_RTA_VALUES) ///< a whole RTA datagram: 244
/// @}

/// \name Ports
/// @{
#define W_NATIVE_PORT 2222      ///< TCP, native protocol
#define W_DISCOVERY_PORT 2222   ///< UDP, "WING?" probe and reply
#define W_DEFAULT_METER_PORT 10026
/// @}

/// \name Discovery texts
/// @{
#define W_DISCOVERY_PROBE "WING?"   ///< sent as 5 bytes, no terminator
#define W_DISCOVERY_REPLY_TAG "WING"
/// @}

/// Keep-alive: a value request (0xD7, hash, 0xDC) for $syscfg.consolename, whose reply nobody
/// waits for.
#define W_KEEPALIVE_HASH 0xC9CB20E0u

#ifdef __cplusplus
#include <cstdint>

namespace mixlink {

inline constexpr unsigned char kEscape = W_ESCAPE;
inline constexpr unsigned char kEscapedEscape = W_ESCAPED_ESCAPE;
inline constexpr unsigned char kSelectFirst = W_SELECT_FIRST;
inline constexpr unsigned char kSelectLast = W_SELECT_LAST;
inline constexpr int kChannelCount = W_CHANNEL_COUNT;
inline constexpr int kValueChannel = W_VALUE_CHANNEL;
inline constexpr int kMeterChannel = W_METER_CHANNEL;

inline constexpr unsigned char kTokSmallIntFirst = W_TOK_SMALL_INT_FIRST;
inline constexpr unsigned char kTokSmallIntLast = W_TOK_SMALL_INT_LAST;
inline constexpr unsigned char kTokOffsetIntFirst = W_TOK_OFFSET_INT_FIRST;
inline constexpr unsigned char kTokOffsetIntLast = W_TOK_OFFSET_INT_LAST;
inline constexpr unsigned char kTokShortStrFirst = W_TOK_SHORT_STR_FIRST;
inline constexpr unsigned char kTokShortStrLast = W_TOK_SHORT_STR_LAST;
inline constexpr unsigned char kTokTinyStrFirst = W_TOK_TINY_STR_FIRST;
inline constexpr unsigned char kTokTinyStrLast = W_TOK_TINY_STR_LAST;
inline constexpr unsigned char kTokEmptyStr = W_TOK_EMPTY_STR;
inline constexpr unsigned char kTokLongStr = W_TOK_LONG_STR;
inline constexpr unsigned char kTokInt16 = W_TOK_INT16;
inline constexpr unsigned char kTokInt16Alt = W_TOK_INT16_ALT;
inline constexpr unsigned char kTokInt32 = W_TOK_INT32;
inline constexpr unsigned char kTokFloat = W_TOK_FLOAT;
inline constexpr unsigned char kTokFloatAlt = W_TOK_FLOAT_ALT;
inline constexpr unsigned char kTokNodeHash = W_TOK_NODE_HASH;
inline constexpr unsigned char kTokToggle = W_TOK_TOGGLE;
inline constexpr unsigned char kTokByte = W_TOK_BYTE;
inline constexpr unsigned char kTokFirstInvalid = W_TOK_FIRST_INVALID;

inline constexpr unsigned char kReqValue = W_REQ_VALUE;
inline constexpr unsigned char kReqDefinition = W_REQ_DEFINITION;
inline constexpr unsigned char kDefinitionReply = W_DEFINITION_REPLY;
inline constexpr unsigned char kMapSizeRequest = W_MAP_SIZE_REQUEST;

inline constexpr unsigned char kMeterPortCommand = W_METER_PORT_COMMAND;
inline constexpr unsigned char kMeterSubscribe = W_METER_SUBSCRIBE;
inline constexpr unsigned char kMeterListStart = W_METER_LIST_START;
inline constexpr unsigned char kMeterListEnd = W_METER_LIST_END;

inline constexpr int kRtaBitmapRow = W_RTA_BITMAP_ROW;
inline constexpr unsigned char kRtaBitmapBit = W_RTA_BITMAP_BIT;
inline constexpr int kRtaHeaderBytes = W_RTA_HEADER_BYTES;
inline constexpr int kRtaValues = W_RTA_VALUES;
inline constexpr int kRtaBytes = W_RTA_BYTES;

inline constexpr int kNativePort = W_NATIVE_PORT;
inline constexpr int kDiscoveryPort = W_DISCOVERY_PORT;
inline constexpr int kDefaultMeterPort = W_DEFAULT_METER_PORT;

inline constexpr char kDiscoveryProbe[] = W_DISCOVERY_PROBE;
inline constexpr char kDiscoveryReplyTag[] = W_DISCOVERY_REPLY_TAG;

inline constexpr uint32_t kKeepAliveHash = W_KEEPALIVE_HASH;
inline constexpr unsigned char kKeepAliveRequest[6] = {
    kTokNodeHash, static_cast<unsigned char>(kKeepAliveHash >> 24), static_cast<unsigned char>(kKeepAliveHash >> 16),
    static_cast<unsigned char>(kKeepAliveHash >> 8), static_cast<unsigned char>(kKeepAliveHash), kReqValue};

}  ///< namespace mixlink
#endif
