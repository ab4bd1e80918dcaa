// SPDX-License-Identifier: MIT
// The escape codec as pure functions: fixed tables, round trips and the decoder's block rules.
#include <gtest/gtest.h>

#include <mixlink/link.h>

#include "link/rx_stream.h"
#include "scripted_peer.h"

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes encode(Bytes in) {
  in.resize(in.size() * 2 + 1);
  const int n = wSendEscapes(in.data(), static_cast<int>(in.size() / 2));
  in.resize(static_cast<size_t>(n));
  return in;
}

// Encodes into a buffer sized exactly as the contract promises, so ASan catches any overrun.
Bytes encode_tight(const Bytes& in) {
  size_t dfs = 0;
  for (unsigned char b : in) dfs += (b == 0xDF);
  std::unique_ptr<unsigned char[]> buf(new unsigned char[std::max<size_t>(1, in.size() + dfs)]);
  std::copy(in.begin(), in.end(), buf.get());
  const int n = wSendEscapes(buf.get(), static_cast<int>(in.size()));
  EXPECT_LE(static_cast<size_t>(n), in.size() + dfs);
  return Bytes(buf.get(), buf.get() + n);
}

Bytes decode(Bytes in, int* channel) {
  const int n = wDecodeEscapes(in.data(), static_cast<int>(in.size()), channel);
  EXPECT_LE(n, static_cast<int>(in.size()));
  in.resize(static_cast<size_t>(n));
  return in;
}

TEST(Framing, EncoderGuardsEveryEscapeThatCouldBeMisread) {
  struct Case {
    Bytes in, out;
  } cases[] = {
      {{0xDF, 0x05}, {0xDF, 0x05}},
      {{0xDF, 0xD3}, {0xDF, 0xDE, 0xD3}},
      {{0xDF, 0xDE}, {0xDF, 0xDE, 0xDE}},
      {{0xDF, 0xDF, 0xD1}, {0xDF, 0xDF, 0xDE, 0xD1}},
      {{0xDF}, {0xDF, 0xDE}},
      {{0xDF, 0xDF, 0xDF}, {0xDF, 0xDF, 0xDF, 0xDE}},
      {{0xD4, 1, 2, 3, 4, 0xDF, 0xD1}, {0xD4, 1, 2, 3, 4, 0xDF, 0xDE, 0xD1}},
      {{0xDF, 0xD0, 0xDF, 0xDD}, {0xDF, 0xDE, 0xD0, 0xDF, 0xDE, 0xDD}},
      {{0xD1, 0xDE, 0xCF}, {0xD1, 0xDE, 0xCF}},  // no escape byte: nothing changes
      {{0xDF, 0xE0}, {0xDF, 0xE0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encode(c.in), c.out);
    EXPECT_EQ(encode_tight(c.in), c.out);
  }
}

TEST(Framing, DecoderFollowsTheTable) {
  struct Case {
    Bytes in, out;
    int channel_after;
  } cases[] = {
      {{0xDF, 0xD1, 0xD7, 0x01}, {0xD1, 0xD7, 0x01}, 1},
      {{0xDF, 0xDE, 0x05}, {0xDF, 0x05}, 7},
      {{0xDF, 0xDF, 0xDE}, {0xDF, 0xDF}, 7},
      {{0xDF, 0xDF, 0xD3}, {0xDF, 0xD3}, 3},
      {{0xDF, 0x00, 0x01}, {0xDF, 0x00, 0x01}, 7},
      {{0x12, 0xDF}, {0x12}, 7},
      {{0xDF, 0xDD, 0x01, 0xDF, 0xD0}, {0xDD, 0x01, 0xD0}, 0},
  };
  for (const Case& c : cases) {
    int ch = 7;
    EXPECT_EQ(decode(c.in, &ch), c.out);
    EXPECT_EQ(ch, c.channel_after);
  }
}

TEST(Framing, NoChannelDropsDataButKeepsSelects) {
  int ch = -1;
  EXPECT_EQ(decode({0x01, 0xDF, 0xDE, 0xDF, 0x05, 0xDF, 0xD3, 0x09}, &ch), (Bytes{0xD3, 0x09}));
  EXPECT_EQ(ch, 3);
}

TEST(Framing, LengthsOfZeroOrLessTouchNothing) {
  Bytes b{0xDF, 0xD3};
  int ch = 5;
  EXPECT_EQ(wSendEscapes(b.data(), 0), 0);
  EXPECT_EQ(wSendEscapes(b.data(), -4), 0);
  EXPECT_EQ(wDecodeEscapes(b.data(), -1, &ch), 0);
  EXPECT_EQ(b, (Bytes{0xDF, 0xD3}));
  EXPECT_EQ(ch, 5);
}

TEST(Framing, RecvEscapesTracksTheGlobalReceiveChannel) {
  const int saved = ch_id_rx;
  ch_id_rx = 1;
  Bytes b{0xDF, 0xD3, 0x10};
  EXPECT_EQ(wRecvEscapes(b.data(), 3), 2);
  EXPECT_EQ(ch_id_rx, 3);
  ch_id_rx = saved;
}

// Payloads dense in the bytes that matter: the escape, the selects and the escaped escape.
Bytes random_payload(std::mt19937& rng) {
  std::uniform_int_distribution<int> len(0, 64), pick(0, 9), any(0, 255), special(0xD0, 0xDF);
  Bytes p(static_cast<size_t>(len(rng)));
  for (auto& b : p) {
    const int k = pick(rng);
    b = static_cast<unsigned char>(k < 4 ? 0xDF : k < 8 ? special(rng) : any(rng));
  }
  return p;
}

TEST(Framing, EncodedPayloadsDecodeBackAndCannotForgeSelects) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 20000; ++i) {
    const Bytes p = random_payload(rng);
    const Bytes e = encode_tight(p);
    ASSERT_FALSE(!e.empty() && e.back() == 0xDF) << "trailing lone escape, case " << i;
    // The escape state is decided by the whole run of 0xDF, so walk it as the decoder would.
    bool escaped = false;
    for (unsigned char b : e) {
      if (escaped && b >= 0xD0 && b <= 0xDD) FAIL() << "forged select in case " << i;
      escaped = (b == 0xDF);
    }
    int ch = 4;
    ASSERT_EQ(decode(e, &ch), p) << "case " << i;
    ASSERT_EQ(ch, 4);
  }
}

TEST(Framing, BlocksSplitAnywhereDecodeLikeTheWholeUnlessAnEscapeIsCut) {
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    const Bytes e = encode(random_payload(rng));
    int ch_whole = 2;
    const Bytes whole = decode(e, &ch_whole);
    for (size_t cut = 1; cut < e.size(); ++cut) {
      const Bytes a(e.begin(), e.begin() + static_cast<long>(cut));
      const Bytes b(e.begin() + static_cast<long>(cut), e.end());
      // A piece ending in 0xDF ends inside an escape, whose state never outlives the block.
      if (a.back() == 0xDF) continue;
      int ch = 2;
      Bytes joined = decode(a, &ch);
      const Bytes tail = decode(b, &ch);
      joined.insert(joined.end(), tail.begin(), tail.end());
      ASSERT_EQ(joined, whole) << "case " << i << " cut " << cut;
      ASSERT_EQ(ch, ch_whole);
    }
  }
}

TEST(Framing, AnEscapeCutByTheBlockEndIsDroppedNotCarried) {
  struct Case {
    Bytes first, second, out;
    int channel_after;
  } cases[] = {
      {{0x01, 0xDF}, {0xD3, 0x02}, {0x01, 0xD3, 0x02}, 1},      // no select across the cut
      {{0x01, 0xDF}, {0xDE, 0x02}, {0x01, 0xDE, 0x02}, 1},      // nor an escaped escape
      {{0xDF, 0xDF}, {0xDF, 0xD3}, {0xDF, 0xD3}, 3},            // a run: one 0xDF written, then a select
  };
  for (const Case& c : cases) {
    int ch = 1;
    Bytes out = decode(c.first, &ch);
    const Bytes tail = decode(c.second, &ch);
    out.insert(out.end(), tail.begin(), tail.end());
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(ch, c.channel_after);
  }
}

// Wire bytes whose escapes and selects land on every kind of cut.
const Bytes kWireCases[] = {
    {0xDF, 0xD1, 0xD7, 0x12, 0xDF, 0xDE, 0x34, 0x56, 0x05},  // select, then an escaped 0xDF
    {0x01, 0xDF, 0xDF, 0xD3, 0x02, 0xDF, 0xDF, 0xDE, 0x03},  // escape runs ending in a select and a guard
    {0xDF, 0x05, 0xDF, 0xE0, 0xDF},                          // escapes that were none, one left open
    {0xDF, 0xD3, 0x10, 0xDF, 0xD1, 0x11, 0xDF, 0xD1},        // back and forth between channels
};

TEST(Framing, AStreamCutAnywhereDecodesAsTheWholeBlock) {
  for (const Bytes& wire : kWireCases) {
    int whole_channel = 1;
    const Bytes whole = decode(wire, &whole_channel);
    for (const auto& plan : mixtest::every_cut(wire.size())) {
      mixlink::detail::rx_stream s;
      int channel = 1;
      size_t at = 0;
      for (size_t piece : plan) {
        s.feed(wire.data() + at, static_cast<int>(piece), &channel);
        at += piece;
      }
      ASSERT_EQ(Bytes(s.data(), s.data() + s.size()), whole) << "pieces " << plan.size() << " first " << plan[0];
      ASSERT_EQ(channel, whole_channel);
    }
  }
}

TEST(Framing, EscapeRunsStopAtEachSelectSoEveryByteKnowsItsChannel) {
  // Channel 1: 'a', a data 0xDF, 'b'; channel 3: 'c', a data 0xDF; channel 1: 'd'; no channel: dropped.
  const Bytes wire{0xDF, 0xD1, 'a', 0xDF, 0xDE, 'b', 0xDF, 0xD3, 'c', 0xDF, 0xDF, 0xD1, 'd'};
  const std::vector<std::pair<int, Bytes>> want{{1, {'a', 0xDF, 'b'}}, {3, {'c', 0xDF}}, {1, {'d'}}};
  for (const auto& plan : mixtest::every_cut(wire.size())) {
    w_escape_state state{-1, 0};
    std::vector<std::pair<int, Bytes>> got;
    size_t at = 0;
    for (size_t piece : plan) {
      // In place, one byte behind the input, as the contract allows.
      Bytes buf{0x00};
      buf.insert(buf.end(), wire.begin() + static_cast<long>(at), wire.begin() + static_cast<long>(at + piece));
      int pos = 1;
      while (pos < static_cast<int>(buf.size())) {
        int written = -1;
        const int used = wDecodeEscapeRun(&state, buf.data() + pos, static_cast<int>(buf.size()) - pos,
                                          buf.data() + pos - 1, &written);
        ASSERT_GE(used, 1);
        if (written > 0) {
          ASSERT_GE(state.channel, 0);
          if (got.empty() || got.back().first != state.channel) got.push_back({state.channel, {}});
          got.back().second.insert(got.back().second.end(), buf.begin() + pos - 1, buf.begin() + pos - 1 + written);
        }
        pos += used;
      }
      at += piece;
    }
    ASSERT_EQ(got, want) << "pieces " << plan.size() << " first " << plan[0];
    EXPECT_EQ(state.escape_pending, 0);
  }
}

}  // namespace
