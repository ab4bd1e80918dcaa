// SPDX-License-Identifier: MIT
// Value, definition and event reads against the simulated console, compared with the values and
// definitions its model holds.
#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/nodes.h>
#include <mixlink/values.h>

#include <gtest/gtest.h>

#include "model.h"
#include "sim_process.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Expected {
  int result;
  int type;
  w_value value;
};

// What the single-value decoder makes of the model's token for a leaf.
Expected expected_value(const mixsim::console_model& m, uint32_t token) {
  const std::string& bytes = m.value(token);
  Expected e{0, -1, {}};
  e.result = wParesToValue(reinterpret_cast<const unsigned char*>(bytes.data()), &e.type, &e.value);
  return e;
}

std::string text_of(const Expected& e) { return e.value.s != nullptr ? e.value.s : ""; }

class SimReads : public ::testing::Test {
 protected:
  void start(std::vector<std::string> args) {
    sim_ = std::make_unique<mixtest::SimProcess>(std::move(args));
    if (!sim_->ok()) GTEST_SKIP() << "mixsim is not built or did not start";
    char address[32] = "127.0.0.1";
    ASSERT_EQ(wOpen(address), 1);
  }
  void TearDown() override {
    wClose();
    sim_.reset();
  }

  mixsim::console_model model_{1};
  std::unique_ptr<mixtest::SimProcess> sim_;
};

TEST_F(SimReads, EveryValueClassReadsAsTheConsoleHoldsIt) {
  start({});
  if (IsSkipped()) return;
  int classes = 0;
  for (const mixsim::code_example& ex : model_.code_examples()) {
    if (ex.token == 0) continue;
    SCOPED_TRACE(testing::Message() << ex.what << " " << wGetName(ex.token));
    ++classes;
    Expected e = expected_value(model_, ex.token);
    ASSERT_EQ(e.result, 1);
    int type = -1;
    w_value v{};
    ASSERT_EQ(wGetToken(ex.token, &type, &v), 1);
    EXPECT_EQ(type, e.type);
    char text[257] = "";
    if (type == W_VALUE_STRING) {
      EXPECT_EQ(v.s != nullptr ? std::string(v.s) : "", text_of(e));
      std::free(v.s);
      EXPECT_EQ(wGetTokenStringTimed(ex.token, text, 2000000), e.value.s != nullptr ? 1 : 0);
      EXPECT_EQ(std::string(text), text_of(e));
      std::free(e.value.s);
    } else if (type == W_VALUE_FLOAT) {
      EXPECT_EQ(v.f, e.value.f);
      float f = 0;
      EXPECT_EQ(wGetTokenFloat(ex.token, &f), 1);
      EXPECT_EQ(f, e.value.f);
      EXPECT_EQ(wGetTokenString(ex.token, text), 1);
      EXPECT_FLOAT_EQ(std::strtof(text, nullptr), e.value.f);
    } else if (type == W_VALUE_INT) {
      EXPECT_EQ(v.i, e.value.i);
      int i = 0;
      EXPECT_EQ(wGetTokenIntTimed(ex.token, &i, 2000000), 1);
      EXPECT_EQ(i, e.value.i);
      EXPECT_EQ(wGetTokenString(ex.token, text), 1);
      EXPECT_EQ(std::string(text), std::to_string(e.value.i));
    } else {
      EXPECT_EQ(v.hash, e.value.hash);
      int i = 5;
      EXPECT_EQ(wGetTokenInt(ex.token, &i), -1);
      EXPECT_EQ(i, 0);
    }
  }
  EXPECT_GE(classes, 10);
}

TEST_F(SimReads, DefinitionsMatchInEitherHeaderLayout) {
  for (const char* form : {"short", "long"}) {
    SCOPED_TRACE(form);
    start({"--definitions", form});
    if (IsSkipped()) return;
    for (uint32_t token : {28u, 33u, 38u, static_cast<uint32_t>(wds_imax - 1)}) {
      SCOPED_TRACE(wGetName(token));
      int len = -1;
      unsigned char* data = nullptr;
      ASSERT_EQ(wGetTokenDef(token, &len, &data), 1);
      const std::string want = model_.definition(token);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(data), static_cast<size_t>(len)), want);
      std::free(data);
    }
    TearDown();
  }
}

// Leaves of each numeric class, read through timed reads so that stray segments are skipped.
std::vector<uint32_t> numeric_leaves(const mixsim::console_model& m) {
  std::vector<uint32_t> out;
  for (const mixsim::code_example& ex : m.code_examples()) {
    if (ex.token == 0) continue;
    const int type = wGetType(ex.token);
    if (type == W_INTEGER || type == W_FLOAT) out.push_back(ex.token);
  }
  return out;
}

// Replies in segments of every small size, and replies behind a stream of events that comes
// late: every read takes its whole reply. (The raw value reads end on another node's entry by
// their rule, so they are left out where events come between.)
TEST_F(SimReads, EveryReadSucceedsWhateverTheSegmentsOrTheEventsInFront) {
  const uint32_t eq = wGetTokenFromName("cfg.mon.1.eq");
  const int leaves = wNodeLeafCount(eq);
  const std::set<uint32_t> animated = {model_.fader_token(), model_.mute_token(), model_.gain_token()};
  std::vector<std::vector<std::string>> faults;
  for (int split = 1; split <= 7; ++split) faults.push_back({"--split", std::to_string(split)});
  faults.push_back({"--animate", "--latency", "150"});
  for (const auto& args : faults) {
    const bool events = args[0] == "--animate";
    SCOPED_TRACE(testing::Message() << args[0] << " " << args[1]);
    start(args);
    if (IsSkipped()) return;
    for (uint32_t token : numeric_leaves(model_)) {
      if (animated.count(token)) continue;
      SCOPED_TRACE(wGetName(token));
      Expected e = expected_value(model_, token);
      if (!events) {
        int type = -1;
        w_value v{};
        ASSERT_EQ(wGetTokenTimed(token, &type, &v, 3000000), 1);
        EXPECT_EQ(v.i, e.value.i);
      }
      if (e.type == W_VALUE_FLOAT) {
        float f = 0;
        ASSERT_EQ(wGetTokenFloat(token, &f), 1);
        EXPECT_EQ(f, e.value.f);
      } else {
        int i = 0;
        ASSERT_EQ(wGetTokenIntTimed(token, &i, 3000000), 1);
        EXPECT_EQ(i, e.value.i);
      }
      char text[257];
      ASSERT_EQ(wGetTokenStringTimed(token, text, 3000000), 1);
    }
    int len = 0;
    unsigned char* def = nullptr;
    ASSERT_EQ(wGetTokenDefTimed(eq, &len, &def, 3000000), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(def), static_cast<size_t>(len)), model_.definition(eq));
    std::free(def);
    std::vector<char> text(static_cast<size_t>(leaves) * 300 + 16);
    ASSERT_EQ(wGetNode(eq, text.data(), text.size()), 1);
    std::vector<w_token_value> records(static_cast<size_t>(leaves));
    ASSERT_EQ(wGetNodeToTVArrayTimed(eq, records.data(), leaves, 5000000), leaves);
    std::vector<unsigned char> raw(4096);
    const int n = wGetBinaryNodeTimed(eq, raw.data(), static_cast<int>(raw.size()), 5000000);
    int end = 0;
    ASSERT_GT(n, 0);
    EXPECT_EQ(wCountReplyEntries(raw.data(), n, leaves, &end), leaves);
    EXPECT_EQ(end + 1, n) << "the entries and the closing byte";
    if (events) {
      w_token_value rec[8];
      const int got = wGetParsedEventsTimed(rec, 8, 3000000);
      ASSERT_GT(got, 0);
      for (int i = 0; i < got; ++i) {
        EXPECT_TRUE(animated.count(rec[i].token)) << wGetName(rec[i].token);
        if (rec[i].type == W_VALUE_STRING) std::free(rec[i].value.s);
      }
    }
    TearDown();
  }
}

TEST_F(SimReads, ForeignTrafficBetweenRepliesIsSkippedByTheConvertingReads) {
  start({"--garbage"});
  if (IsSkipped()) return;
  for (uint32_t token : numeric_leaves(model_)) {
    SCOPED_TRACE(wGetName(token));
    Expected e = expected_value(model_, token);
    if (e.type == W_VALUE_FLOAT) {
      float f = 0;
      ASSERT_EQ(wGetTokenFloatTimed(token, &f, 2000000), 1);
      EXPECT_EQ(f, e.value.f);
    } else if (e.type == W_VALUE_INT) {
      int i = 0;
      ASSERT_EQ(wGetTokenIntTimed(token, &i, 2000000), 1);
      EXPECT_EQ(i, e.value.i);
    } else if (e.type == W_VALUE_STRING) {
      std::free(e.value.s);
    }
  }
}

TEST_F(SimReads, AnimatedParametersArriveAsEvents) {
  start({"--animate"});
  if (IsSkipped()) return;
  const std::set<uint32_t> animated = {model_.fader_token(), model_.mute_token(), model_.gain_token()};
  std::set<uint32_t> seen;
  const auto until = Clock::now() + std::chrono::seconds(3);
  while (Clock::now() < until && seen.size() < 3) {
    w_token_value rec[16] = {};
    const int n = wGetParsedEventsTimed(rec, 16, 200000);
    ASSERT_GE(n, 0);
    for (int i = 0; i < n; ++i) {
      SCOPED_TRACE(wGetName(rec[i].token));
      EXPECT_TRUE(animated.count(rec[i].token)) << "only the animated nodes change";
      const int kind = wGetType(rec[i].token);
      if (kind == W_FLOAT) {
        EXPECT_EQ(rec[i].type, W_VALUE_FLOAT);
      } else if (kind == W_INTEGER) {
        EXPECT_EQ(rec[i].type, W_VALUE_INT);
      }
      if (rec[i].type == W_VALUE_STRING) std::free(rec[i].value.s);
      seen.insert(rec[i].token);
    }
  }
  EXPECT_FALSE(seen.empty());
}

}  // namespace
