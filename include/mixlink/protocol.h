// The console's wire constants, in one place for the library, mixsim and the tests.
#pragma once

#include <cstdint>

namespace mixlink {

// TCP framing: 0xDF opens an escape; 0xDF 0xD0+n selects channel n (0 to 13);
// 0xDF 0xDE stands for one data byte 0xDF.
inline constexpr unsigned char kEscape = 0xDF;
inline constexpr unsigned char kEscapedEscape = 0xDE;
inline constexpr unsigned char kSelectFirst = 0xD0;
inline constexpr unsigned char kSelectLast = 0xDD;
inline constexpr int kChannelCount = 14;
inline constexpr int kValueChannel = 1;  // value, definition and container requests
inline constexpr int kMeterChannel = 3;  // meter-port command, subscription, renewal

// Value token codes (one code byte, then the payload it announces).
inline constexpr unsigned char kTokSmallIntFirst = 0x00;   // 0x00-0x3F: the value itself
inline constexpr unsigned char kTokSmallIntLast = 0x3F;
inline constexpr unsigned char kTokOffsetIntFirst = 0x40;  // 0x40-0x7F: no payload
inline constexpr unsigned char kTokOffsetIntLast = 0x7F;
inline constexpr unsigned char kTokShortStrFirst = 0x80;   // c - 127 text bytes (1 to 64)
inline constexpr unsigned char kTokShortStrLast = 0xBF;
inline constexpr unsigned char kTokTinyStrFirst = 0xC0;    // c - 191 text bytes (1 to 16)
inline constexpr unsigned char kTokTinyStrLast = 0xCF;
inline constexpr unsigned char kTokEmptyStr = 0xD0;
inline constexpr unsigned char kTokLongStr = 0xD1;         // length byte L, then L + 1 text bytes
inline constexpr unsigned char kTokInt16 = 0xD2;
inline constexpr unsigned char kTokInt16Alt = 0xD3;
inline constexpr unsigned char kTokInt32 = 0xD4;
inline constexpr unsigned char kTokFloat = 0xD5;
inline constexpr unsigned char kTokFloatAlt = 0xD6;
inline constexpr unsigned char kTokNodeHash = 0xD7;        // also the lead byte of every request and entry
inline constexpr unsigned char kTokToggle = 0xD8;
inline constexpr unsigned char kTokByte = 0xD9;
inline constexpr unsigned char kTokFirstInvalid = 0xDA;    // 0xDA-0xFF are not value tokens

// Request codes, after 0xD7 and a node hash.
inline constexpr unsigned char kReqValue = 0xDC;
inline constexpr unsigned char kReqDefinition = 0xDD;
inline constexpr unsigned char kDefinitionReply = 0xDF;    // first byte of a definition reply
inline constexpr unsigned char kMapSizeRequest = 0xDA;     // 0xDA 0xDC on channel 1

// Meter commands on channel 3.
inline constexpr unsigned char kMeterPortCommand = 0xD3;   // then the UDP port, big-endian
inline constexpr unsigned char kMeterSubscribe = 0xD4;     // then the collection id, big-endian
inline constexpr unsigned char kMeterListStart = 0xDC;
inline constexpr unsigned char kMeterListEnd = 0xDE;

// The RTA block: bit 7 of meter-selection row 18 (item 0 of group 0xAA); its datagram holds a
// header and then one signed 16-bit big-endian value per band.
inline constexpr int kRtaBitmapRow = 18;
inline constexpr unsigned char kRtaBitmapBit = 0x80;
inline constexpr int kRtaHeaderBytes = 4;
inline constexpr int kRtaValues = 120;

// Ports.
inline constexpr int kNativePort = 2222;      // TCP, native protocol
inline constexpr int kDiscoveryPort = 2222;   // UDP, "WING?" probe and reply
inline constexpr int kDefaultMeterPort = 10026;

// Discovery texts.
inline constexpr char kDiscoveryProbe[] = "WING?";   // sent as 5 bytes, no terminator
inline constexpr char kDiscoveryReplyTag[] = "WING";

// Keep-alive: a value request for $syscfg.consolename, whose reply nobody waits for.
inline constexpr uint32_t kKeepAliveHash = 0xC9CB20E0;
inline constexpr unsigned char kKeepAliveRequest[6] = {
    kTokNodeHash, static_cast<unsigned char>(kKeepAliveHash >> 24), static_cast<unsigned char>(kKeepAliveHash >> 16),
    static_cast<unsigned char>(kKeepAliveHash >> 8), static_cast<unsigned char>(kKeepAliveHash), kReqValue};

}  // namespace mixlink
