// SPDX-License-Identifier: MIT
// The tool's output escaping: console bytes can neither move the terminal, split a record nor
// break the JSON, and floats read back to themselves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "json_check.h"
#include "output.h"
#include "pattern.h"

namespace {

using namespace std::string_literals;

TEST(ToolOutput, ConsoleBytesAreEscapedForTheTerminalAndForJson) {
  struct Case {
    const char* name;
    std::string in, text, json;
  } cases[] = {
      {"plain", "ch 1", "ch 1", "\"ch 1\""},
      {"tab, newline, return", "a\tb\nc\r", "a\\x09b\\x0ac\\x0d", "\"a\\u0009b\\u000ac\\u000d\""},
      {"screen clear and title", "\x1b[2J\x1b]0;t\x07", "\\x1b[2J\\x1b]0;t\\x07", "\"\\u001b[2J\\u001b]0;t\\u0007\""},
      {"NUL and DEL", "a\0\x7f"s, "a\\x00\\x7f", "\"a\\u0000\\u007f\""},
      {"backslash and quote", "a\\\"b", "a\\\\\"b", "\"a\\\\\\\"b\""},
      {"valid UTF-8", "caf\xc3\xa9 \xf0\x9f\x8e\x9b", "caf\xc3\xa9 \xf0\x9f\x8e\x9b", "\"caf\xc3\xa9 \xf0\x9f\x8e\x9b\""},
      {"C1 control as UTF-8", "\xc2\x9b" "1m", "\\xc2\\x9b" "1m", "\"\\u009b1m\""},
      {"C1 control byte alone", "\x9b" "1m", "\\x9b" "1m", "\"\xef\xbf\xbd" "1m\""},
      {"Latin-1 byte", "caf\xe9", "caf\\xe9", "\"caf\xef\xbf\xbd\""},
      {"sequence cut short", "x\xe2\x82", "x\\xe2\\x82", "\"x\xef\xbf\xbd\xef\xbf\xbd\""},
      {"overlong slash", "\xc0\xaf", "\\xc0\\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
      {"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(mixtool::text_escaped(c.in), c.text);
    EXPECT_EQ(mixtool::json_string(c.in), c.json);
  }
}

TEST(ToolOutput, AnyBytesGiveOneLineOfTextAndAJsonStringThatParses) {
  // The check itself tells good JSON from bad.
  EXPECT_TRUE(tooltest::JsonCheck::valid("{\"a\": [-30.0, 1e+20, \"\\u00e9\", null]}"));
  for (const char* bad : {"{\"a\": -30,}", "\"\xff\"", "\"a\tb\"", "-30.", "{\"a\"}"}) EXPECT_FALSE(tooltest::JsonCheck::valid(bad)) << bad;
  std::mt19937 rng(5);
  for (int i = 0; i < 20000; ++i) {
    std::string in(rng() % 24, '\0');
    for (char& ch : in) ch = static_cast<char>(rng());
    const std::string text = mixtool::text_escaped(in);
    for (unsigned char ch : text) ASSERT_TRUE(ch >= 0x20 && ch != 0x7F) << "case " << i;
    ASSERT_TRUE(tooltest::JsonCheck::valid(mixtool::json_string(in))) << "case " << i;
    ASSERT_TRUE(tooltest::JsonCheck::valid("[" + mixtool::json_string(text) + "]"));
  }
}

TEST(ToolOutput, FloatsAreTheShortestTextThatReadsBackAndStayFloatsInJson) {
  struct Case {
    float f;
    const char* text;
    const char* json;
  } cases[] = {
      {-30.0f, "-30", "-30.0"}, {0.1f, "0.1", "0.1"},        {1e20f, "1e+20", "1e+20"},
      {0.0f, "0", "0.0"},       {-0.0f, "-0", "-0.0"},       {16777216.0f, "16777216", "16777216.0"},
      {INFINITY, "inf", "null"}, {NAN, "nan", "null"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mixtool::float_text(c.f), c.text);
    EXPECT_EQ(mixtool::json_float(c.f), c.json);
  }
  std::mt19937 rng(9);
  for (int i = 0; i < 200000; ++i) {
    const uint32_t bits = static_cast<uint32_t>(rng());
    float f;
    std::memcpy(&f, &bits, sizeof f);
    if (!std::isfinite(f)) continue;
    const std::string s = mixtool::float_text(f);
    const float back = std::strtof(s.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&back, &f, sizeof f), 0) << s;
    ASSERT_TRUE(tooltest::JsonCheck::valid(mixtool::json_float(f))) << mixtool::json_float(f);
  }
}

}  // namespace

TEST(ToolPattern, ShellStylePatternsMatchWholePathsInAnyLetterCase) {
  struct Case {
    const char* pattern;
    const char* path;
    bool matches;
  } cases[] = {
      {"ch.1.fdr", "ch.1.fdr", true},
      {"CH.1.FDR", "ch.1.fdr", true},
      {"ch.1", "ch.1.fdr", false},  // the whole path, not a prefix
      {"ch.*", "ch.1.fdr", true},   // * crosses dots
      {"ch.*.fdr", "ch.12.fdr", true},
      {"ch.*.fdr", "ch.1.fdrx", false},
      {"*mute", "ch.1.mute", true},
      {"*", "", true},
      {"ch.?.mute", "ch.1.mute", true},
      {"ch.?.mute", "ch.10.mute", false},
      {"ch.[1-3].mute", "ch.2.mute", true},
      {"ch.[1-3].mute", "ch.4.mute", false},
      {"ch.[!1-3].mute", "ch.4.mute", true},
      {"ch.[!1-3].mute", "ch.1.mute", false},
      {"io.in.[a-c].1", "io.in.B.1", true},
      {"ch.[].mute", "ch.].mute", false},  // "]" first in a set is a member; unclosed, "[" is plain
      {"nothing.[", "nothing.[", true},    // an unclosed [ is itself
      {"\\$stat.*", "$stat.lock", true},
      {"a\\*b", "a*b", true},
      {"a\\*b", "axb", false},
      {"*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},  // no blow-up
  };
  for (const Case& c : cases)
    EXPECT_EQ(mixtool::path_matches(c.pattern, c.path), c.matches) << c.pattern << " ~ " << c.path;
}
