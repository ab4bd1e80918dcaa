// SPDX-License-Identifier: MIT
// The bulk escape codec against a byte-at-a-time model of the framing rules, over many random
// blocks: the bulk paths must never change a single output byte or the receive channel.
#include <gtest/gtest.h>

#include <mixlink/link.h>
#include <mixlink/protocol.h>

#include "link/rx_stream.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

using namespace mixlink;

namespace {

using Bytes = std::vector<unsigned char>;

// Encoder model: one 0xDE after every run of 0xDF that ends the input or is followed by 0xD0-0xDE.
Bytes model_encode(const Bytes& in) {
  Bytes out;
  bool after_escape = false;
  for (unsigned char b : in) {
    if (b == kEscape) {
      after_escape = true;
    } else {
      if (after_escape && b >= kSelectFirst && b <= kEscapedEscape) out.push_back(kEscapedEscape);
      after_escape = false;
    }
    out.push_back(b);
  }
  if (after_escape) out.push_back(kEscapedEscape);
  return out;
}

// Decoder model: the receiving side's rules one byte at a time, out of place.
Bytes model_decode(const Bytes& in, int* channel) {
  Bytes out;
  bool escaped = false;
  for (unsigned char b : in) {
    const bool keep = *channel >= 0;
    if (!escaped) {
      if (b == kEscape) {
        escaped = true;
      } else if (keep) {
        out.push_back(b);
      }
    } else if (b == kEscape) {
      if (keep) out.push_back(kEscape);
    } else if (b == kEscapedEscape) {
      escaped = false;
      if (keep) out.push_back(kEscape);
    } else if (b >= kSelectFirst && b <= kSelectLast) {
      escaped = false;
      *channel = b - kSelectFirst;
      out.push_back(b);
    } else {
      escaped = false;
      if (keep) {
        out.push_back(kEscape);
        out.push_back(b);
      }
    }
  }
  return out;
}

// Random blocks whose bytes are drawn mostly from the ones the codec treats specially, so that
// runs of escapes, selects, guards and escapes at either end all turn up often.
Bytes random_block(std::mt19937& rng, int length, int escape_percent) {
  static const unsigned char kSpecial[] = {0xDF, 0xDF, 0xDE, 0xD0, 0xD1, 0xD3, 0xDD, 0x00, 0xCF, 0xE0};
  std::uniform_int_distribution<int> pct(0, 99), any(0, 255), pick(0, sizeof kSpecial - 1);
  Bytes b(static_cast<size_t>(length));
  for (auto& x : b) {
    const int roll = pct(rng);
    if (roll < escape_percent) {
      x = kEscape;
    } else if (roll < escape_percent + 15) {
      x = kSpecial[pick(rng)];
    } else {
      x = static_cast<unsigned char>(any(rng));
    }
  }
  return b;
}

struct Shape {
  int max_length;
  int escape_percent;
  int blocks;
};

// Short blocks with dense escapes find the corner cases; 64 KiB blocks run the long bulk moves.
const Shape kShapes[] = {
    {8, 40, 20000}, {64, 30, 5000}, {600, 1, 1000}, {600, 30, 1000}, {65536, 0, 4}, {65536, 1, 8},
    {65536, 30, 8},
};

}  // namespace

TEST(FramingEquivalence, EncoderMatchesTheByteRulesAndStaysWithinItsRoom) {
  std::mt19937 rng(7);
  for (const Shape& s : kShapes) {
    std::uniform_int_distribution<int> len(0, s.max_length);
    for (int n = 0; n < s.blocks; ++n) {
      const Bytes in = random_block(rng, len(rng), s.escape_percent);
      const Bytes want = model_encode(in);
      // Exactly the room the contract promises, so any write past it is caught by the sanitizer
      // build and any stray write into the room by the comparison.
      const size_t room = in.size() + static_cast<size_t>(std::count(in.begin(), in.end(), kEscape));
      Bytes buf(room, 0xA5);
      std::copy(in.begin(), in.end(), buf.begin());
      const int got = wSendEscapes(buf.data(), static_cast<int>(in.size()));
      ASSERT_EQ(got, static_cast<int>(want.size())) << "length " << in.size();
      ASSERT_TRUE(std::equal(want.begin(), want.end(), buf.begin())) << "length " << in.size();
      ASSERT_TRUE(std::all_of(buf.begin() + got, buf.end(), [](unsigned char b) { return b == 0xA5; }));
    }
  }
}

TEST(FramingEquivalence, DecoderMatchesTheByteRulesForEveryStartingChannel) {
  std::mt19937 rng(11);
  for (const Shape& s : kShapes) {
    std::uniform_int_distribution<int> len(0, s.max_length);
    for (int n = 0; n < s.blocks; ++n) {
      const Bytes in = random_block(rng, len(rng), s.escape_percent);
      // Without a channel data is dropped until a select arrives; with one it all comes through.
      for (int start : {1, 3, -1}) {
        int want_channel = start;
        const Bytes want = model_decode(in, &want_channel);
        Bytes buf = in;
        int channel = start;
        const int got = wDecodeEscapes(buf.data(), static_cast<int>(buf.size()), &channel);
        ASSERT_EQ(got, static_cast<int>(want.size())) << "length " << in.size() << " start " << start;
        ASSERT_TRUE(std::equal(want.begin(), want.end(), buf.begin())) << "length " << in.size();
        ASSERT_EQ(channel, want_channel);
      }
    }
  }
}

TEST(FramingEquivalence, EncodedBlocksDecodeBackUnchanged) {
  std::mt19937 rng(13);
  for (const Shape& s : kShapes) {
    std::uniform_int_distribution<int> len(0, s.max_length);
    for (int n = 0; n < s.blocks / 4 + 1; ++n) {
      const Bytes in = random_block(rng, len(rng), s.escape_percent);
      Bytes buf(in.size() * 2 + 1);
      std::copy(in.begin(), in.end(), buf.begin());
      const int encoded = wSendEscapes(buf.data(), static_cast<int>(in.size()));
      int channel = 1;
      const int decoded = wDecodeEscapes(buf.data(), encoded, &channel);
      ASSERT_EQ(decoded, static_cast<int>(in.size()));
      ASSERT_TRUE(std::equal(in.begin(), in.end(), buf.begin()));
      ASSERT_EQ(channel, 1);
    }
  }
}

TEST(FramingEquivalence, TheReceiveStreamDecodesRandomCutsAsTheByteRulesDoTheWhole) {
  std::mt19937 rng(17);
  for (const Shape& s : kShapes) {
    std::uniform_int_distribution<int> len(0, s.max_length);
    for (int n = 0; n < s.blocks / 4 + 1; ++n) {
      const Bytes in = random_block(rng, len(rng), s.escape_percent);
      for (int start : {1, -1}) {
        int want_channel = start;
        const Bytes want = model_decode(in, &want_channel);
        mixlink::detail::rx_stream stream;
        int channel = start;
        std::uniform_int_distribution<size_t> piece(1, in.size() / 3 + 2);
        for (size_t at = 0; at < in.size();) {
          const size_t k = std::min(piece(rng), in.size() - at);
          ASSERT_GE(stream.feed(in.data() + at, static_cast<int>(k), &channel), 0);
          at += k;
        }
        ASSERT_EQ(Bytes(stream.data(), stream.data() + stream.size()), want) << "length " << in.size();
        ASSERT_EQ(channel, want_channel);
      }
    }
  }
}
