// SPDX-License-Identifier: MIT
// The generated node tables against the console's known facts, and the lookups' edge cases.
#include <mixlink/dictionary.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

std::string path_of(uint32_t t) { return wingdataset[t].path; }

bool is_below(const std::string& path, const std::string& container) {
  return path.size() > container.size() && path.compare(0, container.size(), container) == 0 &&
         path[container.size()] == '.';
}

// One past the last row of the subtree that starts at token t.
uint32_t subtree_end(uint32_t t) {
  std::string p = path_of(t);
  uint32_t e = t + 1;
  while (e < static_cast<uint32_t>(wds_imax) && is_below(wingdataset[e].path, p)) ++e;
  return e;
}

struct Shape {
  uint32_t rows = 0;
  uint32_t leaves = 0;
};

Shape shape_of(uint32_t t) {
  Shape s;
  uint32_t e = subtree_end(t);
  s.rows = e - t;
  for (uint32_t i = t; i < e; ++i) s.leaves += wingdataset[i].type >= 1;
  return s;
}

uint32_t token(const char* path) {
  uint32_t t = wGetTokenFromName(path);
  EXPECT_NE(t, 0u) << path;
  return t;
}

// Direct children of a container, in table order.
std::vector<uint32_t> children(uint32_t t) {
  std::vector<uint32_t> out;
  uint32_t e = subtree_end(t);
  for (uint32_t i = t + 1; i < e; i = subtree_end(i)) out.push_back(i);
  return out;
}

std::string last_component(uint32_t t) {
  std::string p = path_of(t);
  return p.substr(p.rfind('.') + 1);
}

TEST(NodeHash, MatchesTheConsolesValues) {
  struct Case {
    const char* path;
    uint32_t hash;
  } cases[] = {
      {"", 0xCB21C6BEu},
      {"a", 0x33ADFBC2u},
      {"cfg", 0xEDCA7AF9u},
      {"CFG", 0xEDCA7AF9u},
      {"cFg", 0xEDCA7AF9u},
      {"ch.1", 0x878392CFu},
      {"CH.1", 0x878392CFu},
      {"$syscfg.consolename", 0xC9CB20E0u},
      {"$stat", 0x97A00439u},
      {"$$unknown", 0xEDA5A2EFu},
  };
  for (auto& c : cases) EXPECT_EQ(wGetHashFromName(c.path), c.hash) << '"' << c.path << '"';
}

TEST(NodeHash, FoldsOnlyTheRangeAboveBackquote) {
  // 0x61..0x7F fold down by 0x20; bytes above 0x7F and below 0x61 stand as they are.
  EXPECT_EQ(wGetHashFromName("{|}~"), wGetHashFromName("[\\]^"));
  EXPECT_EQ(wGetHashFromName("\x7f"), wGetHashFromName("_"));
  EXPECT_NE(wGetHashFromName("\xe1"), wGetHashFromName("\xc1"));
  EXPECT_NE(wGetHashFromName("@"), wGetHashFromName("`"));
  // Every tail length gets its full round: paths differing only in the tail differ in hash.
  EXPECT_NE(wGetHashFromName("abcde"), wGetHashFromName("abcdf"));
  EXPECT_NE(wGetHashFromName("abcdef"), wGetHashFromName("abcdeg"));
  EXPECT_NE(wGetHashFromName("abcdefg"), wGetHashFromName("abcdefh"));
}

TEST(Lookups, OutOfRangeAndUnknownInputHaveDefinedResults) {
  EXPECT_EQ(wGetType(0), 0);
  EXPECT_EQ(wGetType(38516), 1);
  EXPECT_EQ(wGetType(38517), -1);
  EXPECT_EQ(wGetType(0xFFFFFFFFu), -1);
  EXPECT_STREQ(wGetName(38517), "$$unknown");
  EXPECT_STREQ(wGetName(0xFFFFFFFFu), "$$unknown");
  EXPECT_EQ(wGetHash(38517), 0u);
  EXPECT_EQ(wGetHash(0x80000000u), 0u);
  EXPECT_STREQ(wGetName(38516), "$globals.custsync.c");

  EXPECT_EQ(wGetTokenFromHash(0), 0u);
  EXPECT_STREQ(wGetNameFromHash(0), "$$unknown");
  uint32_t missing = wGetHashFromName("ch.41");
  EXPECT_EQ(wGetTokenFromHash(missing), 0u);
  EXPECT_EQ(wGetNameFromHash(missing), nullptr);
  EXPECT_EQ(wGetTokenFromHash(0xFFFFFFFFu), 0u);
  EXPECT_EQ(wGetNameFromHash(0xFFFFFFFFu), nullptr);

  EXPECT_EQ(wGetTokenFromName("$$unknown"), 0u);
  EXPECT_EQ(wGetTokenFromName(""), 0u);
  EXPECT_EQ(wGetTokenFromName("cfg"), 28u);
  EXPECT_EQ(wGetTokenFromName("CFG"), 28u);
  EXPECT_EQ(wGetTokenFromName("CFG.MAINLINK"), 29u);
  EXPECT_EQ(wGetTokenFromName("cfg."), 0u);
  EXPECT_EQ(wGetTokenFromName(nullptr), 0u);
}

TEST(Table, TellingRowsAreTheConsoles) {
  struct Row {
    uint32_t token;
    const char* path;
    uint32_t hash;
    int type;
    uint32_t attr;
    uint32_t leaves;
  } rows[] = {
      {0, "$$unknown", 0x00000000u, 0, 0, 33750},
      {1, "$stat", 0x97A00439u, 0, 0, 23},
      {28, "cfg", 0xEDCA7AF9u, 0, 0, 194},
      {33, "cfg.mon.1.$lvl", 0x7933BF16u, 2, 561, 0},
      {37, "cfg.mon.1.eq", 0xD1FF5641u, 0, 0, 23},
      {38, "cfg.mon.1.eq.on", 0xF92F4380u, 1, 64, 0},
      {7308, "ch", 0x70B10139u, 0, 0, 11520},
      {7309, "ch.1", 0x878392CFu, 0, 0, 288},
      {38516, "$globals.custsync.c", 0xBDB0969Bu, 1, 64, 0},
  };
  for (auto& r : rows) {
    const w_node& n = wingdataset[r.token];
    EXPECT_STREQ(n.path, r.path) << r.token;
    EXPECT_EQ(n.hash, r.hash) << r.path;
    EXPECT_EQ(n.type, r.type) << r.path;
    EXPECT_EQ(n.attr, r.attr) << r.path;
    EXPECT_EQ(n.leaves, r.leaves) << r.path;
  }
  EXPECT_STREQ(wingdataset[29].path, "cfg.mainlink");
  EXPECT_GE(wingdataset[29].type, 1);

  struct Attr {
    const char* path;
    int type;
    uint32_t attr;
  } attrs[] = {
      {"cfg.mon.1.eq.on", 1, 64}, {"ch.1.fdr", 2, 49},        {"ch.1.pan", 2, 16},
      {"ch.1.send.1.mode", 3, 80}, {"io.in.A.1.name", 3, 112}, {"$stat.A.stat", 3, 592},
  };
  for (auto& a : attrs) {
    uint32_t t = token(a.path);
    EXPECT_EQ(wingdataset[t].type, a.type) << a.path;
    EXPECT_EQ(wingdataset[t].attr, a.attr) << a.path;
  }
}

TEST(Table, EveryRowHashesToItselfAndIsFoundBothWays) {
  for (uint32_t t = 1; t < static_cast<uint32_t>(wds_imax); ++t) {
    const w_node& n = wingdataset[t];
    ASSERT_EQ(n.hash, wGetHashFromName(n.path)) << n.path;
    ASSERT_EQ(wGetTokenFromHash(n.hash), t) << n.path;
    ASSERT_STREQ(wGetNameFromHash(n.hash), n.path);
    ASSERT_EQ(wGetTokenFromName(n.path), t) << n.path;
    ASSERT_EQ(wGetNameFromToken(t), n.path);
    ASSERT_EQ(wGetHashFromToken(t), n.hash);
  }
}

TEST(Table, HashIndexIsStrictlyIncreasingAndHoldsEveryRowOnce) {
  EXPECT_EQ(wingordereddataset[0].hash, 0u);
  EXPECT_EQ(wingordereddataset[0].token, 0u);
  std::vector<bool> seen(wds_imax);
  for (int i = 0; i < wrds_imax; ++i) {
    const w_hash_token& p = wingordereddataset[i];
    if (i > 0) {
      ASSERT_LT(wingordereddataset[i - 1].hash, p.hash) << i;
    }
    ASSERT_LT(p.token, static_cast<uint32_t>(wds_imax));
    ASSERT_FALSE(seen[p.token]) << p.token;
    seen[p.token] = true;
    ASSERT_EQ(wingdataset[p.token].hash, p.hash);
  }
}

TEST(Table, RowsFollowTheGrammarInPreOrderWithTrueOrZeroLeafCounts) {
  const std::map<int, std::set<uint32_t>> allowed = {
      {1, {64, 576, 66}},
      {2, {49, 17, 16, 36, 32, 528, 18, 19, 96, 35, 561, 21, 97}},
      {3, {80, 112, 624, 592}},
      {4, {64}},
  };
  const std::regex component("[A-Za-z0-9_$]+");
  const std::regex zero_group(
      "(ch|aux)\\.[0-9]+\\.send\\.([0-9]+|MX[1-8])|(ch|aux|bus|main)\\.[0-9]+\\.in\\.set|aux\\.[0-9]+\\.in\\.conn");
  const std::regex user_slot("\\$ctl\\.user\\..*\\.(bu|bd|enc)\\.[1-3]");
  std::map<int, int> by_type;
  int zero_groups = 0, zero_rows = 0;
  // Containers open on the way down; a row's parent must be the innermost one still open.
  std::vector<uint32_t> open;
  for (uint32_t t = 1; t < static_cast<uint32_t>(wds_imax); ++t) {
    const w_node& n = wingdataset[t];
    std::string p = n.path;
    ASSERT_LE(p.size(), 32u) << p;
    size_t components = 0, start = 0;
    for (;;) {
      size_t dot = p.find('.', start);
      std::string c = p.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
      ASSERT_TRUE(std::regex_match(c, component)) << p;
      ++components;
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    ASSERT_LE(components, 6u) << p;

    while (!open.empty() && !is_below(p, path_of(open.back()))) open.pop_back();
    std::string parent = p.find('.') == std::string::npos ? "" : p.substr(0, p.rfind('.'));
    ASSERT_EQ(parent, open.empty() ? "" : path_of(open.back())) << p << " is out of pre-order";

    ++by_type[n.type];
    if (n.leaves == 0) ++zero_rows;
    if (n.type == 0) {
      ASSERT_EQ(n.attr, 0u) << p;
      Shape s = shape_of(t);
      ASSERT_GT(s.leaves, 0u) << p << " is empty";
      bool zero_form = std::regex_match(p, zero_group);
      if (zero_form) {
        ++zero_groups;
        EXPECT_EQ(n.leaves, 0u) << p;
      } else {
        EXPECT_EQ(n.leaves, s.leaves) << p;
      }
      open.push_back(t);
    } else {
      ASSERT_GE(n.type, 1) << p;
      ASSERT_LE(n.type, 4) << p;
      ASSERT_EQ(n.leaves, 0u) << p;
      EXPECT_TRUE(allowed.at(n.type).count(n.attr)) << p << " attr " << n.attr;
      EXPECT_EQ(n.type == 4, std::regex_match(p, user_slot)) << p;
    }
  }
  EXPECT_EQ(by_type[0], 5954);
  EXPECT_EQ(by_type[1], 15880);
  EXPECT_EQ(by_type[2], 7544);
  EXPECT_EQ(by_type[3], 8322);
  EXPECT_EQ(by_type[4], 816);
  EXPECT_EQ(zero_groups, 1188);
  EXPECT_EQ(static_cast<uint32_t>(zero_rows), wingdataset[0].leaves);
  EXPECT_EQ(wingdataset[0].hash, 0u);
  EXPECT_EQ(wingdataset[0].type, 0);
  EXPECT_EQ(subtree_end(0), 1u);
}

TEST(Table, FamiliesStandInOrderWithTheirShapes) {
  struct Family {
    const char* name;
    uint32_t rows, leaves;
    int instances;
    uint32_t instance_rows, instance_leaves;
  } families[] = {
      {"$stat", 27, 23, 0, 0, 0},        {"cfg", 211, 194, 0, 0, 0},     {"$syscfg", 27, 26, 0, 0, 0},
      {"io", 7042, 6054, 0, 0, 0},       {"ch", 13281, 11520, 40, 332, 288},
      {"aux", 2113, 1816, 8, 264, 227},  {"bus", 3361, 2720, 16, 210, 170},
      {"main", 517, 440, 4, 129, 110},   {"mtx", 809, 720, 8, 101, 90},
      {"dca", 161, 144, 16, 10, 9},      {"mgrp", 25, 16, 8, 3, 2},      {"fx", 641, 624, 16, 40, 39},
      {"cards", 84, 74, 0, 0, 0},        {"play", 19, 18, 0, 0, 0},      {"rec", 8, 7, 0, 0, 0},
      {"$ctl", 10176, 8155, 0, 0, 0},    {"$globals", 14, 11, 0, 0, 0},
  };
  uint32_t t = 1;
  for (auto& f : families) {
    ASSERT_LT(t, static_cast<uint32_t>(wds_imax));
    ASSERT_EQ(path_of(t), f.name);
    Shape s = shape_of(t);
    EXPECT_EQ(s.rows, f.rows) << f.name;
    EXPECT_EQ(s.leaves, f.leaves) << f.name;
    if (f.instances) {
      auto kids = children(t);
      ASSERT_EQ(kids.size(), static_cast<size_t>(f.instances)) << f.name;
      // Every instance is the first one with its number swapped in: same names, types, words.
      std::string first = path_of(kids[0]);
      for (int n = 1; n <= f.instances; ++n) {
        uint32_t k = kids[n - 1];
        std::string inst = std::string(f.name) + "." + std::to_string(n);
        ASSERT_EQ(path_of(k), inst);
        Shape is = shape_of(k);
        EXPECT_EQ(is.rows, f.instance_rows) << inst;
        EXPECT_EQ(is.leaves, f.instance_leaves) << inst;
        for (uint32_t i = 0; i < is.rows && n > 1; ++i) {
          const w_node& a = wingdataset[kids[0] + i];
          const w_node& b = wingdataset[k + i];
          ASSERT_EQ(std::string(a.path).substr(first.size()), std::string(b.path).substr(inst.size()));
          ASSERT_EQ(a.type, b.type) << b.path;
          ASSERT_EQ(a.attr, b.attr) << b.path;
        }
      }
    }
    t = subtree_end(t);
  }
  EXPECT_EQ(t, static_cast<uint32_t>(wds_imax));
}

TEST(Table, UnnumberedFamiliesDivideAsTheConsoleDoes) {
  struct Division {
    const char* family;
    std::vector<std::string> children;
  } divisions[] = {
      {"io", {"altsw", "autoaltovr", "in", "out"}},
      {"cfg", {"mainlink", "dcamgrp", "mon", "solo", "rta", "mtr", "talk", "amix"}},
      {"$ctl", {"$stat", "cfg", "layer", "user", "gpio", "safes", "daw", "midi", "osc", "lib", "$globals"}},
  };
  for (auto& d : divisions) {
    std::vector<std::string> got;
    for (uint32_t k : children(token(d.family))) got.push_back(last_component(k));
    EXPECT_EQ(got, d.children) << d.family;
  }
  EXPECT_EQ(wGetType(token("io.altsw")), 1);
  EXPECT_EQ(wGetType(token("cfg.mainlink")), 1);
  EXPECT_EQ(shape_of(token("io.in")).rows, 5905u);
  EXPECT_EQ(shape_of(token("io.out")).rows, 1134u);
  EXPECT_EQ(shape_of(token("$ctl.layer")).rows, 7733u);
  EXPECT_EQ(shape_of(token("$ctl.user")).rows, 2267u);
}

TEST(Table, OrdersOtherReadsRelyOn) {
  std::vector<std::string> stat;
  for (uint32_t k : children(1)) stat.push_back(last_component(k));
  ASSERT_GE(stat.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(stat.begin(), stat.begin() + 6),
            (std::vector<std::string>{"A", "B", "C", "lock", "ppm", "solo"}));
  for (const char* g : {"$stat.A", "$stat.B", "$stat.C"}) {
    std::vector<std::string> leaves;
    for (uint32_t k : children(token(g))) leaves.push_back(last_component(k));
    EXPECT_EQ(leaves, (std::vector<std::string>{"stat", "dev"})) << g;
  }

  for (int n = 1; n <= 40; ++n) {
    std::string ch = "ch." + std::to_string(n);
    uint32_t t = token(ch.c_str());
    uint32_t e = subtree_end(t);
    uint32_t first = t;
    while (wingdataset[first].type == 0) ++first;
    EXPECT_EQ(path_of(first), ch + ".in.set.$mode");
    EXPECT_EQ(path_of(e - 1), ch + ".$muteovr");
    EXPECT_GE(wingdataset[e - 1].type, 1);
  }

  std::vector<std::string> mon;
  for (uint32_t k : children(token("cfg.mon"))) mon.push_back(path_of(k));
  EXPECT_EQ(mon, (std::vector<std::string>{"cfg.mon.1", "cfg.mon.2"}));
  const char* order[] = {"$lvl", "inv", "eq.on", "eq.lsg", "lim", "dly.on", "dly.m", "dim", "tags"};
  for (const char* m : {"cfg.mon.1", "cfg.mon.2"}) {
    uint32_t prev = 0;
    for (const char* leaf : order) {
      std::string p = std::string(m) + "." + leaf;
      uint32_t t = token(p.c_str());
      EXPECT_GE(wingdataset[t].type, 1) << p;
      EXPECT_GT(t, prev) << p;
      prev = t;
    }
  }
}

}  // namespace
