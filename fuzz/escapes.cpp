// SPDX-License-Identifier: MIT
// The escape codec: every received block decodes exactly as the byte rules say, the channel
// carried from block to block and an escape cut by a block end dropped; and whatever the encoder
// makes of a payload decodes back to it.
#include <mixlink/link.h>
#include <mixlink/protocol.h>

#include "fuzz_support.h"

using namespace mixlink;
using mixfuzz::ExactBuffer;

namespace {

// The receive rules written out byte by byte, as plainly as they read: the yardstick for the
// bulk decoder in the library.
std::vector<unsigned char> reference_decode(const unsigned char* in, size_t n, int* channel) {
  std::vector<unsigned char> out;
  bool after_escape = false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char b = in[i];
    if (!after_escape) {
      if (b == kEscape) {
        after_escape = true;
      } else if (*channel >= 0) {
        out.push_back(b);
      }
      continue;
    }
    if (b == kEscape) {
      if (*channel >= 0) out.push_back(kEscape);
    } else if (b == kEscapedEscape) {
      after_escape = false;
      if (*channel >= 0) out.push_back(kEscape);
    } else if (b >= kSelectFirst && b <= kSelectLast) {
      after_escape = false;
      *channel = b - kSelectFirst;
      out.push_back(b);
    } else {
      after_escape = false;
      if (*channel >= 0) {
        out.push_back(kEscape);
        out.push_back(b);
      }
    }
  }
  return out;
}

void check_blocks(uint8_t mode, const uint8_t* body, size_t n, int start_channel) {
  int channel = start_channel;
  int expected_channel = start_channel;
  size_t at = 0;
  for (size_t piece : mixfuzz::feeding_plan(mode, n)) {
    ExactBuffer block(body + at, piece);
    const int got = wDecodeEscapes(block.data(), block.size(), &channel);
    const auto want = reference_decode(body + at, piece, &expected_channel);
    FUZZ_CHECK(got >= 0 && static_cast<size_t>(got) <= piece);
    FUZZ_CHECK(static_cast<size_t>(got) == want.size());
    FUZZ_CHECK(want.empty() || std::memcmp(block.data(), want.data(), want.size()) == 0);
    FUZZ_CHECK(channel == expected_channel);
    FUZZ_CHECK(channel >= -1 && channel < kChannelCount);
    at += piece;
  }
}

// The encoder needs room for one extra byte per escape byte at most and must not forge a select.
void check_round_trip(const uint8_t* body, size_t n) {
  size_t escapes = 0;
  for (size_t i = 0; i < n; ++i) escapes += body[i] == kEscape;
  ExactBuffer buf(body, n, escapes);
  const int encoded = wSendEscapes(buf.data(), static_cast<int>(n));
  FUZZ_CHECK(n == 0 ? encoded == 0 : static_cast<size_t>(encoded) >= n);
  FUZZ_CHECK(static_cast<size_t>(encoded) <= n + escapes);
  // Any run of escape bytes leaves the receiver after an escape, so a select byte must never
  // follow one in the encoded stream, nor may the stream end on one.
  for (int i = 0; i + 1 < encoded; ++i) {
    FUZZ_CHECK(!(buf.data()[i] == kEscape && buf.data()[i + 1] >= kSelectFirst &&
                 buf.data()[i + 1] <= kSelectLast));
  }
  FUZZ_CHECK(encoded == 0 || buf.data()[encoded - 1] != kEscape);
  int channel = 1;
  const int decoded = wDecodeEscapes(buf.data(), encoded, &channel);
  FUZZ_CHECK(static_cast<size_t>(decoded) == n);
  FUZZ_CHECK(n == 0 || std::memcmp(buf.data(), body, n) == 0);
  FUZZ_CHECK(channel == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > mixfuzz::kMaxInput) return 0;
  const uint8_t mode = data[0];
  // The top bit starts the receiver on no channel, where only selects reach the output.
  const int start_channel = (mode & 0x80) ? -1 : 1;
  check_blocks(mode, data + 1, size - 1, start_channel);
  check_round_trip(data + 1, size - 1);

  // The global-state entry point is the same decoder.
  ExactBuffer a(data + 1, size - 1);
  ExactBuffer b(data + 1, size - 1);
  const int saved = ch_id_rx;
  ch_id_rx = start_channel;
  int channel = start_channel;
  const int via_global = wRecvEscapes(a.data(), a.size());
  const int direct = wDecodeEscapes(b.data(), b.size(), &channel);
  FUZZ_CHECK(via_global == direct && ch_id_rx == channel);
  FUZZ_CHECK(direct == 0 || std::memcmp(a.data(), b.data(), static_cast<size_t>(direct)) == 0);
  ch_id_rx = saved;
  return 0;
}
