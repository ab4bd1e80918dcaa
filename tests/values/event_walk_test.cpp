// SPDX-License-Identifier: MIT
// The event walk and the definition-reply locator over blocks held in memory and over the
// receive stream as the blocks came.
#include <mixlink/dictionary.h>
#include <mixlink/values.h>

#include <gtest/gtest.h>

#include "link/rx_stream.h"
#include "scripted_peer.h"
#include "values/reassembly.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr uint32_t kEqOn = 38;   // cfg.mon.1.eq.on, an integer
constexpr uint32_t kLevel = 33;  // cfg.mon.1.$lvl, a float
constexpr uint32_t kUnknownHash = 0x12345678;

Bytes event(uint32_t hash, const Bytes& value) { return mixtest::entry(hash, value); }

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Runs the walk over an exactly-sized heap copy of the first n bytes.
int walk(const Bytes& block, size_t n, w_token_value* records, int count) {
  std::unique_ptr<unsigned char[]> copy(new unsigned char[n]);
  if (n > 0) std::memcpy(copy.get(), block.data(), n);
  return wParseEventBlock(copy.get(), static_cast<int>(n), records, count);
}

int walk(const Bytes& block, w_token_value* records, int count) {
  return walk(block, block.size(), records, count);
}

uint32_t hash_of(uint32_t token) { return wGetHashFromToken(token); }

void release(w_token_value* records, int n) {
  for (int i = 0; i < n; ++i)
    if (records[i].type == W_VALUE_STRING) std::free(records[i].value.s);
}

TEST(EventWalk, DecodesEveryEventOfABlock) {
  ASSERT_EQ(wGetTokenFromHash(kUnknownHash), 0u);
  const Bytes block = join({
      event(hash_of(kEqOn), {0x05}),
      event(hash_of(kLevel), {0xD5, 0x40, 0x30, 0x00, 0x00}),
      event(hash_of(kEqOn), {0x82, 'a', 'b', 'c'}),
      event(hash_of(kLevel), {0x40}),
      event(hash_of(kEqOn), {0xD7, 0xCA, 0xFE, 0x00, 0x01}),
  });
  w_token_value rec[8] = {};
  ASSERT_EQ(walk(block, rec, 8), 5);
  EXPECT_EQ(rec[0].token, kEqOn);
  EXPECT_EQ(rec[0].type, W_VALUE_INT);
  EXPECT_EQ(rec[0].value.i, 5);
  EXPECT_EQ(rec[1].token, kLevel);
  EXPECT_EQ(rec[1].type, W_VALUE_FLOAT);
  EXPECT_FLOAT_EQ(rec[1].value.f, 2.75f);
  EXPECT_EQ(rec[2].type, W_VALUE_STRING);
  EXPECT_STREQ(rec[2].value.s, "abc");
  EXPECT_EQ(rec[3].value.i, -63) << "offset integers read -63..0 in the stream";
  EXPECT_EQ(rec[4].type, W_VALUE_INT) << "a hash value is carried as an integer";
  EXPECT_EQ(static_cast<uint32_t>(rec[4].value.i), 0xCAFE0001u);
  release(rec, 5);
}

// A block, the result its walk gives, and what the walk found in it.
template <class Found>
struct WalkCase {
  const char* name;
  Bytes block;
  int want;
  Found found;
};

TEST(EventWalk, SkipsWhatIsNoKnownEvent) {
  const WalkCase<int32_t> cases[] = {
      {"an unknown node's event is passed whole",
       join({event(kUnknownHash, {0xD5, 0xD7, 0xD7, 0x00, 0x00}), event(hash_of(kEqOn), {0x09})}), 1, 9},
      {"stray bytes are passed one at a time", join({{0x01, 0x02, 0x03}, event(hash_of(kEqOn), {0x11})}), 1, 0x11},
      {"an 0xD7 with no value token behind it is a stray byte",
       join({event(kUnknownHash, {0xDA}), event(hash_of(kEqOn), {0x11})}), 1, 0x11},
      {"empty block", {}, 0, 0},
      {"unknown hash at the very end", event(kUnknownHash, {}), 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    w_token_value rec[4] = {};
    ASSERT_EQ(walk(c.block, rec, 4), c.want);
    if (c.want > 0) {
      EXPECT_EQ(rec[0].token, kEqOn);
      EXPECT_EQ(rec[0].value.i, c.found);
    }
  }
}

TEST(EventWalk, NeverFillsMoreRecordsThanAskedFor) {
  Bytes block;
  for (int i = 0; i < 10; ++i) block = join({block, event(hash_of(kEqOn), {static_cast<unsigned char>(i)})});
  for (int n : {0, 1, 3, 9, 10, 11}) {
    SCOPED_TRACE(n);
    // One spare record behind the n, which must stay as it was.
    std::vector<w_token_value> rec(static_cast<size_t>(n) + 1, w_token_value{999, 99, {}});
    const int got = walk(block, rec.data(), n);
    EXPECT_EQ(got, std::min(n, 10));
    EXPECT_EQ(rec[static_cast<size_t>(n)].token, 999u);
    EXPECT_EQ(rec[static_cast<size_t>(n)].type, 99);
  }
}

TEST(EventWalk, ABlockCutAnywhereReadsNothingBeyondItsEnd) {
  const Bytes block = join({
      event(hash_of(kEqOn), {0xC2, 'x', 'y', 'z'}),
      event(hash_of(kLevel), {0xD5, 0x40, 0x30, 0x00, 0x00}),
      event(hash_of(kEqOn), {0xD1, 0x03, 'l', 'o', 'n', 'g'}),
  });
  const size_t ends[] = {9, 19, block.size()};  // where whole events end
  for (size_t cut = 0; cut <= block.size(); ++cut) {
    SCOPED_TRACE(cut);
    w_token_value rec[4] = {};
    const int got = walk(block, cut, rec, 4);
    int whole = 0;
    bool at_boundary = cut == 0;
    for (size_t e : ends) {
      if (cut >= e) ++whole;
      if (cut == e) at_boundary = true;
    }
    if (at_boundary) {
      EXPECT_EQ(got, whole);
      release(rec, got);
    } else {
      // A cut-off event ends the walk like an invalid value, and its texts are released, so
      // the sanitizer's leak check also watches this case.
      EXPECT_EQ(got, 0);
      for (int i = 0; i < whole; ++i) {
        if (rec[i].type == W_VALUE_STRING) {
          EXPECT_EQ(rec[i].value.s, nullptr);
        }
      }
    }
  }
}

TEST(EventWalk, AnInvalidValueEndsTheWalkAndReleasesItsTexts) {
  const Bytes block = join({
      event(hash_of(kEqOn), {0x83, 'a', 'b', 'c', 'd'}),
      event(hash_of(kEqOn), {0xC0, 'e'}),
      event(hash_of(kEqOn), {0xDA}),
      event(hash_of(kEqOn), {0x01}),
  });
  w_token_value rec[4] = {};
  EXPECT_EQ(walk(block, rec, 4), 0);
  EXPECT_EQ(rec[0].value.s, nullptr);
  EXPECT_EQ(rec[1].value.s, nullptr);
}

// ---- Definition replies ----

Bytes definition(bool long_header, uint32_t hash, Bytes def) {
  Bytes b(long_header ? 15 : 11, 0xAA);
  b[0] = 0xDF;
  b[1] = 0x00;
  b[2] = long_header ? 0x00 : 0x04;  // any non-zero count chooses the short header
  const size_t at = long_header ? 11 : 7;
  for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<unsigned char>(hash >> (24 - 8 * i));
  b.insert(b.end(), def.begin(), def.end());
  return b;
}

TEST(DefinitionReply, FindsTheDefinitionInEitherHeaderLayout) {
  const uint32_t h = 0xF92F4380;
  const WalkCase<Bytes> cases[] = {
      {"bytes 1 and 2 zero: hash at 11", definition(true, h, {1, 2, 3, 4}), 1, {1, 2, 3, 4}},
      {"byte 2 set: hash at 7", definition(false, h, {9, 8, 7, 6, 5}), 1, {9, 8, 7, 6, 5}},
      {"empty definition", definition(false, h, {}), 1, {}},
      {"another node's definition", definition(true, h + 1, {1}), 0, {}},
      {"not a definition reply", event(h, {0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<unsigned char[]> copy(new unsigned char[c.block.size()]);
    std::memcpy(copy.get(), c.block.data(), c.block.size());
    const unsigned char* data = nullptr;
    int n = -1;
    ASSERT_EQ(wParseDefinitionReply(copy.get(), static_cast<int>(c.block.size()), h, &data, &n), c.want);
    if (c.want == 1) {
      EXPECT_EQ(Bytes(data, data + n), c.found);
    }
  }
  // The 19-byte long-header block: the layout decides which 4 bytes are the hash.
  Bytes block = definition(true, h, {0x11, 0x22, 0x33, 0x44});
  const unsigned char* data = nullptr;
  int n = 0;
  ASSERT_EQ(wParseDefinitionReply(block.data(), 19, h, &data, &n), 1);
  EXPECT_EQ(n, 4);
  block[2] = 0x01;
  EXPECT_EQ(wParseDefinitionReply(block.data(), 19, h, &data, &n), 0);
  for (int i = 0; i < 4; ++i) block[7 + static_cast<size_t>(i)] = static_cast<unsigned char>(h >> (24 - 8 * i));
  ASSERT_EQ(wParseDefinitionReply(block.data(), 19, h, &data, &n), 1);
  EXPECT_EQ(n, 8);
}

TEST(DefinitionReply, ABlockShorterThanItsHeaderIsDropped) {
  const uint32_t h = 0xF92F4380;
  for (bool long_header : {true, false}) {
    const Bytes full = definition(long_header, h, {});
    for (size_t cut = 0; cut < full.size(); ++cut) {
      SCOPED_TRACE(testing::Message() << (long_header ? "15" : "11") << "-byte header cut at " << cut);
      std::unique_ptr<unsigned char[]> copy(new unsigned char[cut]);
      if (cut > 0) std::memcpy(copy.get(), full.data(), cut);
      const unsigned char* data = nullptr;
      int n = -1;
      EXPECT_EQ(wParseDefinitionReply(copy.get(), static_cast<int>(cut), h, &data, &n), 0);
      EXPECT_EQ(n, -1);
    }
  }
}

// ---- Definition replies in the receive stream ----

// What the definition finder takes out of a stream fed piece by piece (each piece one received
// block, the next one coming while a count waits for more; after the last nothing more comes):
// the definitions in order, and what stayed behind the last one when it was taken.
struct Taken {
  std::vector<Bytes> definitions;
  Bytes behind;
};

Taken take_definitions(const std::vector<Bytes>& blocks, uint32_t hash) {
  mixlink::detail::rx_stream s;
  int channel = 1;
  Taken t;
  for (size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_GE(s.feed(blocks[i].data(), static_cast<int>(blocks[i].size()), &channel), 0);
    const bool settled = i + 1 == blocks.size();
    for (;;) {
      int header = 0, length = -1, used = -1;
      const int at = mixlink::values::find_definition_reply(s.data(), s.size(), s.block_ends(), s.block_end_count(),
                                                            hash, settled, &header, &length, &used);
      EXPECT_TRUE(used >= 0 && used <= s.size());
      s.consume(used);
      if (at < 0) break;
      EXPECT_LE(header + length, s.size());
      t.definitions.emplace_back(s.data() + header, s.data() + header + length);
      s.consume(header + length);
      t.behind.assign(s.data(), s.data() + s.size());
    }
  }
  return t;
}

TEST(DefinitionReply, EndsWhereItsReceivedBlockEnds) {
  const uint32_t h = 0xF92F4380;
  // The 19-byte example: bytes 1 and 2 zero, bytes 3 to 10 anything (here a count no definition
  // has), the hash in bytes 11 to 14, four definition bytes. `exact` holds a count that fits.
  Bytes example = {0xDF, 0x00, 0x00, 0xA5, 0xA5, 0xA5, 0xA5, 0x01, 0x02, 0x03, 0x04};
  for (int i = 0; i < 4; ++i) example.push_back(static_cast<unsigned char>(h >> (24 - 8 * i)));
  const Bytes def = {0x11, 0x22, 0x33, 0x44};
  example.insert(example.end(), def.begin(), def.end());
  ASSERT_EQ(example.size(), 19u);
  Bytes exact = example;
  exact[3] = exact[4] = exact[5] = 0x00;
  exact[6] = 0x04;
  const Bytes other = definition(true, h + 1, {0x05, 0xDF, 0x06});  // another node's, 0xDF inside
  const Bytes ev = event(h, {0x05});
  const Bytes cut_ev(ev.begin(), ev.end() - 1);

  struct Case {
    const char* name;
    std::vector<Bytes> blocks;
    std::vector<Bytes> want;
    Bytes behind;
  };
  const Case cases[] = {
      {"whole", {example}, {def}, {}},
      {"behind another node's definition, same block", {join({other, example})}, {def}, {}},
      {"behind another node's definition, own block", {other, example}, {def}, {}},
      {"an exact count splits two replies of one block", {join({exact, ev})}, {def}, ev},
      {"a count in front of a cut event: the block end holds", {join({exact, cut_ev}), {ev.back()}},
       {join({def, cut_ev})}, {}},
      {"a count that fits nothing: the block end holds", {join({example, ev})}, {join({def, ev})}, {}},
      {"an exact count joins a reply cut in three", {Bytes(exact.begin(), exact.begin() + 16), {0x22, 0x33}, {0x44}},
       {def}, {}},
      {"two definitions, two blocks", {exact, example}, {def, def}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Taken t = take_definitions(c.blocks, h);
    EXPECT_EQ(t.definitions, c.want);
    EXPECT_EQ(t.behind, c.behind);
  }
  // Cut in two blocks at every position. A header cut by its block's end goes on in the next
  // block; a count that fits joins the pieces. The example's count fits nothing, so once its
  // header is whole its definition is what that block holds: nothing announced is waited for.
  for (size_t cut = 1; cut < example.size(); ++cut) {
    for (const Bytes* reply : {&example, &exact}) {
      SCOPED_TRACE(testing::Message() << (reply == &exact ? "exact count" : "the example") << ", cut at " << cut);
      const Bytes first(reply->begin(), reply->begin() + static_cast<long>(cut));
      const Bytes second(reply->begin() + static_cast<long>(cut), reply->end());
      const Taken t = take_definitions({first, second}, h);
      const size_t kept = cut < 15 || reply == &exact ? 4 : cut - 15;
      ASSERT_EQ(t.definitions.size(), 1u);
      EXPECT_EQ(t.definitions[0], Bytes(def.begin(), def.begin() + static_cast<long>(kept)));
    }
  }
}

}  // namespace
