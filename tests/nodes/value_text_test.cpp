// SPDX-License-Identifier: MIT
// Value texts and the relative names of the container dump: pure, no console, no dictionary.
#include <mixlink/nodes.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dump_reader.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct TextCase {
  Bytes token;
  const char* text;
};

TEST(ValueText, EveryCodeClassPrintsAsTheConsoleShowsIt) {
  const TextCase cases[] = {
      {{0x00}, "0,"},
      {{0x3F}, "63,"},
      {{0x40}, "-63,"},  // the stream reading of these codes, not the single-value one
      {{0x7F}, "0,"},
      {{0x80, 'x'}, "x,"},
      {{0x82, 'a', 'b', 'c'}, "abc,"},
      {{0xC0, 'q'}, "q,"},
      {{0xC2, 'a', 0, 'c'}, "a,"},  // a NUL ends the text early
      {{0xD0}, "\"\","},
      {{0xD1, 0x01, 'h', 'i'}, "hi,"},  // L + 1 text bytes
      {{0xD2, 0xFF, 0xFE}, "-2,"},
      {{0xD3, 0x7F, 0xFF}, "32767,"},
      {{0xD4, 0x80, 0, 0, 0}, "-2147483648,"},
      {{0xD5, 0x3F, 0xC0, 0, 0}, "1.50,"},
      {{0xD6, 0x3F, 0xC0, 0, 0}, "1.5000,"},
      {{0xD7, 0, 0, 0, 0x2A}, "0000002a,"},
      {{0xD8}, "toggle,"},
      {{0xD9, 0xFF}, "255,"},
  };
  for (const auto& c : cases) {
    char text[W_VALUE_TEXT_SIZE] = "stale";
    const int end = wParseToNode(nullptr, c.token.data(), 0, text, static_cast<int>(c.token.size()));
    EXPECT_STREQ(text, c.text) << "code " << std::hex << int{c.token[0]};
    EXPECT_EQ(end, static_cast<int>(c.token.size())) << "code " << std::hex << int{c.token[0]};
  }
}

TEST(ValueText, LongestStringFillsTheTextBufferExactly) {
  Bytes token = {0xD1, 0xFF};
  token.resize(2 + 256, 'z');
  char text[W_VALUE_TEXT_SIZE];
  EXPECT_EQ(wParseToNode(nullptr, token.data(), 0, text, static_cast<int>(token.size())), 258);
  EXPECT_EQ(std::string(text), std::string(256, 'z') + ",");
}

TEST(ValueText, CodesThatAreNoValueGiveAnEmptyTextAndSkipOneByte) {
  for (int c = 0xDA; c <= 0xFF; ++c) {
    const unsigned char buf[2] = {static_cast<unsigned char>(c), 0x41};
    char text[W_VALUE_TEXT_SIZE] = "earlier entry,";
    EXPECT_EQ(wParseToNode(nullptr, buf, 0, text, 2), 1) << c;
    EXPECT_STREQ(text, "") << c;
  }
}

TEST(ValueText, TokensCutOffByTheEndOfTheDataAreRefused) {
  const Bytes cut[] = {{0x82, 'a', 'b'}, {0xD1}, {0xD1, 0x05, 'a'}, {0xD4, 0, 0}, {0xD5, 1, 2, 3},
                       {0xD9}, {0xC3, 'a'}};
  for (const auto& b : cut) {
    char text[W_VALUE_TEXT_SIZE] = "stale";
    EXPECT_EQ(wParseToNode(nullptr, b.data(), 0, text, static_cast<int>(b.size())), 0)
        << std::hex << int{b[0]};
    EXPECT_STREQ(text, "");
  }
  char text[W_VALUE_TEXT_SIZE];
  const unsigned char one[1] = {0x01};
  EXPECT_EQ(wParseToNode(nullptr, one, 1, text, 1), 0);  // position at the end
  EXPECT_EQ(wParseToNode(nullptr, one, -1, text, 1), 0);
}

std::vector<std::string> names(const char* container, const std::vector<const char*>& leaves) {
  std::vector<std::string> out;
  std::string previous = container;
  for (const char* leaf : leaves) {
    char name[80];
    EXPECT_GE(wDumpNamePart(previous.c_str(), leaf, name, sizeof name), 0);
    out.emplace_back(name);
    previous = leaf;
  }
  return out;
}

TEST(DumpNames, EachLeafIsNamedRelativeToThePreviousOne) {
  EXPECT_EQ(names("cfg.mon", {"cfg.mon.1.$lvl", "cfg.mon.1.inv", "cfg.mon.1.eq.on", "cfg.mon.1.eq.lsg",
                              "cfg.mon.1.lim", "cfg.mon.1.dly.on", "cfg.mon.1.dly.m", "cfg.mon.1.dim",
                              "cfg.mon.1.tags", "cfg.mon.2.$lvl"}),
            (std::vector<std::string>{".1.$lvl", "inv", "eq.on", "lsg", ".lim", "dly.on", "m", ".dim",
                                      "tags", ".2.$lvl"}));
  EXPECT_EQ(names("$stat", {"$stat.A.stat", "$stat.A.dev", "$stat.B.stat", "$stat.B.dev", "$stat.C.stat",
                            "$stat.C.dev", "$stat.lock", "$stat.ppm"}),
            (std::vector<std::string>{".A.stat", "dev", ".B.stat", "dev", ".C.stat", "dev", ".lock", "ppm"}));
}

TEST(DumpNames, APrefixEndingInsideAComponentCountsBackToItsStart) {
  // "ch.10" and "ch.11" share "ch.1": the name must restart the number, or it reads as ch.1.
  EXPECT_EQ(names("ch", {"ch.10.$muteovr", "ch.11.in.set.$mode"})[1], ".11.in.set.$mode");
  EXPECT_EQ(names("a", {"a.b.x", "a.bc.d.e"})[1], ".bc.d.e");
  EXPECT_EQ(names("a", {"a.bx.y", "a.b.c.d"})[1], ".b.c.d");
  EXPECT_EQ(names("a", {"a.bc.d", "a.b"})[1], ".b");
}

TEST(DumpNames, ADumpReadsBackToTheLeavesItWasMadeFrom) {
  const std::vector<const char*> leaves = {
      "ch.9.$muteovr", "ch.10.in.set.$mode", "ch.10.in.set.srcauto", "ch.10.flt.lc", "ch.10.$muteovr",
      "ch.11.in.set.$mode", "ch.11.eq.1.g", "ch.11.eq.2.g", "ch.11.eq.on", "ch.11.send.MX1.on",
      "ch.12.a"};
  char text[2048];
  w_dump dump;
  ASSERT_EQ(wDumpStart(&dump, "ch", text, sizeof text), 1);
  for (const char* leaf : leaves) ASSERT_EQ(wDumpAppend(&dump, leaf, "1,"), 1);
  ASSERT_EQ(wDumpFinish(&dump), 1);
  const auto back = nodetest::read_dump_paths("ch", text);
  EXPECT_EQ(back, std::vector<std::string>(leaves.begin(), leaves.end())) << text;
  EXPECT_EQ(text[std::string(text).size() - 1], '\n');
}

TEST(DumpNames, ADumpThatDoesNotFitFailsWithoutOverrunning) {
  char text[32];
  std::memset(text, 'X', sizeof text);
  w_dump dump;
  ASSERT_EQ(wDumpStart(&dump, "cfg.mon", text, 19), 1);
  EXPECT_EQ(wDumpAppend(&dump, "cfg.mon.1.$lvl", "0.50,"), 1);  // ".1.$lvl=0.50," is 13
  EXPECT_EQ(wDumpAppend(&dump, "cfg.mon.1.inv", "0,"), -10);    // 6 more and the NUL make 20
  EXPECT_STREQ(text, ".1.$lvl=0.50,");
  EXPECT_EQ(wDumpAppend(&dump, "cfg.mon.1.inv", ","), 1);       // exactly 19 with the NUL
  EXPECT_EQ(wDumpFinish(&dump), -10);
  EXPECT_EQ(text[19], 'X');  // nothing written past the capacity
  EXPECT_EQ(wDumpStart(&dump, "cfg", text, 0), -10);
}

}  // namespace
