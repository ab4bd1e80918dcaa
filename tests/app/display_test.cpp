// SPDX-License-Identifier: MIT
// The display model and the layout, driven by made-up times and sizes; no window system.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>
#include <cmath>

#include "layout.h"
#include "model.h"
#include "sentinel.h"
#include "show.h"

namespace {

using namespace bandscope;

constexpr Micros kMs = 1000;
// Meter values of known heights (see the bar height tests).
constexpr int16_t kSilent = -32768;  // height 0
constexpr int16_t kYellow48 = -3061; // height 48
constexpr int16_t kFull = 0;         // height 128

std::array<int16_t, kBarCount> all(int16_t v) {
  std::array<int16_t, kBarCount> a;
  a.fill(v);
  return a;
}

TEST(DisplayModel, StatusFollowsTheDatagramsAndTheLink) {
  DisplayModel m;
  const Micros t0 = 1000 * kSecond;
  EXPECT_EQ(statusText(m.status(t0)), "") << "nothing before Connect";
  m.setLink(Link::connected, t0);
  EXPECT_EQ(statusText(m.status(t0 + 499 * kMs)), "");
  EXPECT_EQ(m.nextStatusChange(t0), t0 + kStaleAfter);
  EXPECT_EQ(statusText(m.status(t0 + 500 * kMs)), "No meter data for 1 s");

  const Micros t1 = t0 + 3 * kSecond;
  m.addValues(all(kFull).data(), t1);
  struct Case {
    Micros after;
    const char* text;
    bool live;
    Micros next;  // the next change, after t1
  };
  const Case cases[] = {
      {0, "Live", true, 500 * kMs},
      {499 * kMs, "Live", true, 500 * kMs},
      {500 * kMs, "No meter data for 1 s", false, 2 * kSecond},
      {1999 * kMs, "No meter data for 1 s", false, 2 * kSecond},
      {2000 * kMs, "No meter data for 2 s", false, 3 * kSecond},
      {61 * kSecond, "No meter data for 61 s", false, 62 * kSecond},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.after);
    EXPECT_EQ(statusText(m.status(t1 + c.after)), c.text);
    EXPECT_EQ(m.live(t1 + c.after), c.live);
    EXPECT_EQ(m.nextStatusChange(t1 + c.after), t1 + c.next);
  }

  // Lost: grey even while a datagram is fresh; after reconnecting, silence counts from the
  // last datagram until one comes.
  m.setLink(Link::lost, t1 + 100 * kMs);
  EXPECT_EQ(statusText(m.status(t1 + 200 * kMs)), "Console lost - reconnecting");
  EXPECT_FALSE(m.live(t1 + 200 * kMs));
  EXPECT_EQ(m.nextStatusChange(t1 + 200 * kMs), -1);
  m.setLink(Link::connected, t1 + 5 * kSecond);
  EXPECT_EQ(statusText(m.status(t1 + 5 * kSecond)), "No meter data for 5 s");
  m.addValues(all(kFull).data(), t1 + 6 * kSecond);
  EXPECT_EQ(statusText(m.status(t1 + 6 * kSecond)), "Live");
}

TEST(DisplayModel, StatusNamesTheHoldAndTheRingingBandButNeverHidesTroubleWithTheLink) {
  struct Case {
    Status::Kind kind;
    int seconds;
    Status::Hold hold;
    const char* position;
    int ringing;
    const char* text;
  };
  const Case cases[] = {
      {Status::live, 0, Status::running, "", 83, "Ringing near 2.52 kHz"},
      {Status::stale, 3, Status::frozen, "", -1, "Frozen - No meter data for 3 s"},
      {Status::live, 0, Status::frozen, "21:14:03.2 (-3:20)", 83, "Frozen at 21:14:03.2 (-3:20) - Ringing near 2.52 kHz"},
      {Status::live, 0, Status::replay, "0:12 / 3:40", -1, "Replay 0:12 / 3:40"},
      {Status::lost, 0, Status::replay_paused, "0:12 / 3:40", -1, "Replay paused 0:12 / 3:40 - Console lost - reconnecting"},
  };
  for (const Case& c : cases) {
    Status s;
    s.kind = c.kind;
    s.seconds = c.seconds;
    s.hold = c.hold;
    s.position = c.position;
    s.ringing_band = c.ringing;
    EXPECT_EQ(statusText(s), c.text);
  }
}

TEST(DisplayModel, PeakHoldsForOneAndAHalfSecondsThenFallsAndRidesTheBar) {
  DisplayModel m;
  const Micros t0 = 50 * kSecond;
  m.addValues(all(kFull).data(), t0);
  EXPECT_EQ(m.peakHeight(0), 128);
  struct Step {
    Micros at;       // after t0
    int16_t value;
    double peak;     // expected marker height after the datagram
  };
  const Step steps[] = {
      {100 * kMs, kSilent, 128},          // held
      {1500 * kMs, kSilent, 128},         // still held at 1.5 s
      {2000 * kMs, kSilent, 128 - 0.6 * 128 * 0.5},  // 0.5 s of falling at 60 % a second
      {2100 * kMs, kYellow48, 128 - 0.6 * 128 * 0.6},  // a bar below the marker leaves it falling
      {2500 * kMs, kYellow48, 128 - 0.6 * 128 * 1.0},
      {2600 * kMs, kYellow48, 48},        // the marker met the bar and rides it
      {4000 * kMs, kYellow48, 48},
      {4100 * kMs, kSilent, 48},          // a new hold starts at the last lift (4.0 s)
      {5600 * kMs, kSilent, 48 - 0.6 * 128 * 0.1},
      {9000 * kMs, kSilent, 0},           // never below the floor
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.at);
    m.addValues(all(s.value).data(), t0 + s.at);
    EXPECT_NEAR(m.peakHeight(7), s.peak, 1e-9);
  }
}

TEST(DisplayModel, MaxHoldKeepsTheHighestUntilResetAndPResetsBoth) {
  DisplayModel m;
  m.addValues(all(kYellow48).data(), kSecond);
  m.setMaxHold(true);
  m.addValues(all(kFull).data(), 2 * kSecond);
  m.addValues(all(kSilent).data(), 100 * kSecond);
  EXPECT_EQ(m.band(3).max_hold, 128) << "no decay, however long";
  EXPECT_EQ(m.peakHeight(3), 0);

  m.addValues(all(kYellow48).data(), 101 * kSecond);
  m.resetPeaks();
  EXPECT_EQ(m.band(3).max_hold, 48);
  EXPECT_EQ(m.peakHeight(3), 48);

  // Turning max hold off and on again starts it from the current bars.
  m.addValues(all(kFull).data(), 102 * kSecond);
  m.addValues(all(kSilent).data(), 103 * kSecond);
  m.setMaxHold(false);
  m.setMaxHold(true);
  EXPECT_EQ(m.band(3).max_hold, 0);
}

TEST(DisplayModel, AveragingIsExponentialWithItsTimeConstant) {
  struct Case {
    Averaging mode;
    Micros dt;
    double share;  // of the step that the average has made after dt
  };
  const Case cases[] = {
      {Averaging::off, 50 * kMs, 1.0},
      {Averaging::fast, 125 * kMs, 1 - std::exp(-1.0)},
      {Averaging::fast, 50 * kMs, 1 - std::exp(-0.4)},
      {Averaging::slow, kSecond, 1 - std::exp(-1.0)},
      {Averaging::slow, 50 * kMs, 1 - std::exp(-0.05)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    DisplayModel m;
    m.setAveraging(c.mode);
    m.addValues(all(-10000).data(), kSecond);
    EXPECT_EQ(m.band(5).averaged, -10000) << "the first datagram is taken as it is";
    m.addValues(all(-2000).data(), kSecond + c.dt);
    EXPECT_NEAR(m.band(5).averaged, -10000 + 8000 * c.share, 1e-6);
    EXPECT_EQ(m.band(5).value, -2000);
    EXPECT_EQ(m.band(5).height, barHeight(static_cast<int>(std::lround(m.band(5).averaged))));
  }

  DisplayModel m;
  const Averaging order[] = {Averaging::fast, Averaging::slow, Averaging::off};
  for (Averaging next : order) {
    m.cycleAveraging();
    EXPECT_EQ(m.averaging(), next);
  }
}

TEST(DisplayModel, CountsDatagramsOverTheLastSecond) {
  DisplayModel m;
  const Micros t0 = 7 * kSecond;
  for (int i = 0; i < 40; ++i) m.addValues(all(kSilent).data(), t0 + i * 50 * kMs);  // 20 a second for 2 s
  const Micros end = t0 + 40 * 50 * kMs;
  EXPECT_EQ(m.datagramsPerSecond(end), 20);
  EXPECT_EQ(m.datagramsPerSecond(end + 1500 * kMs), 0);
  EXPECT_EQ(m.datagrams(), 40);
}

TEST(Bands, CentreFrequenciesAndTheirTexts) {
  EXPECT_EQ(bandCentreHz(67), 1000.0);
  EXPECT_NEAR(bandCentreHz(0), 20.85, 0.01);
  EXPECT_NEAR(bandCentreHz(119), 20159, 1);
  EXPECT_NEAR(bandCentreHz(79) / bandCentreHz(67), 2.0, 1e-12) << "twelve bands an octave";

  struct Text {
    double hz;
    const char* text;
  };
  const Text texts[] = {{20.85, "20.9 Hz"}, {9.994, "9.99 Hz"}, {99.96, "100 Hz"},   {125, "125 Hz"},
                        {999.7, "1.00 kHz"}, {1000, "1.00 kHz"}, {9996, "10.0 kHz"}, {20159, "20.2 kHz"}};
  for (const Text& t : texts) EXPECT_EQ(frequencyText(t.hz), t.text) << t.hz;

  const int bands[] = {7, 19, 31, 43, 55, 67, 79, 91, 103, 115};
  for (size_t i = 0; i < std::size(kAxisLabels); ++i) EXPECT_EQ(bandNearestTo(kAxisLabels[i].hz), bands[i]);
  EXPECT_EQ(bandNearestTo(5), 0);
  EXPECT_EQ(bandNearestTo(40000), 119);
}

TEST(Layout, ClassicSizeIsTheClassicWindow) {
  const Layout l(614, 181, 1.0);
  EXPECT_EQ(l.top, 40);
  EXPECT_EQ(l.bottom, 168);
  EXPECT_EQ(l.gridLeft(), 11);
  EXPECT_EQ(l.gridRight(), 609);
  EXPECT_EQ(l.label_pixels, 8);
  EXPECT_EQ(l.line_thickness, 1);
  for (int k = 0; k < kScaleLines; ++k) {
    EXPECT_EQ(l.gridRow(k), 55 + 16 * k);
    EXPECT_EQ(l.labelTop(k), 50 + 16 * k);
  }
  for (int i = 0; i < kBarCount; ++i) {
    ASSERT_EQ(l.barLeft(i), 11 + 5 * i);
    ASSERT_EQ(l.barRight(i), 15 + 5 * i);
    ASSERT_EQ(l.bandAt(10 + 5 * i), i);
    ASSERT_EQ(l.bandAt(14 + 5 * i), i);
  }
  EXPECT_EQ(l.rowAt(0), 168);
  EXPECT_EQ(l.rowAt(128), 40);
  EXPECT_EQ(l.bandAt(9), -1);
  EXPECT_EQ(l.bandAt(610), -1);
  EXPECT_LE(l.axis_top + l.label_pixels + 2, 181) << "the frequency labels fit the free rows";
}

// Crafted spectra at 20 datagrams a second: a floor with a little deterministic noise, and what
// each case adds at time t (seconds).
struct Crafted {
  const char* name;
  double (*extra)(int band, double t);
  int ringing_band;  // the band that must be flagged within 2 s of growing, or -1 for none
};

int16_t craftedValue(int band, double t, double (*extra)(int, double)) {
  const double noise = 150.0 * std::sin(band * 12.9898 + t * 78.233) * std::cos(band * 4.1 + t * 17.0);
  return static_cast<int16_t>(std::clamp(-4000.0 + noise + extra(band, t), -32768.0, 0.0));
}

TEST(FeedbackSentinel, FlagsOneGrowingBandWithin2SecondsButNotABroadbandRiseOrSteadyPeaks) {
  const Crafted cases[] = {
      {"one band grows from 10 s", [](int b, double t) { return b == 83 && t > 10 ? 800.0 * (t - 10) : 0.0; }, 83},
      {"a low band grows", [](int b, double t) { return b == 20 && t > 10 ? 800.0 * (t - 10) : 0.0; }, 20},
      {"everything rises from 10 s", [](int, double t) { return t > 10 ? 800.0 * (t - 10) : 0.0; }, -1},
      {"a broad hump rises", [](int b, double t) { return t > 10 ? 300.0 * (t - 10) * std::exp(-0.5 * (b - 60) * (b - 60) / 36.0) : 0.0; }, -1},
      {"steady peaks", [](int b, double) { return (b % 30 == 15) ? 3000.0 : (b % 30 == 14 || b % 30 == 16) ? 1500.0 : 0.0; }, -1},
      {"a peak that comes and goes", [](int b, double t) { return b == 50 && std::fmod(t, 2.0) < 0.7 ? 3000.0 : 0.0; }, -1},
  };
  for (const Crafted& c : cases) {
    SCOPED_TRACE(c.name);
    ShowState st;
    st.model.setLink(Link::connected, 0);
    Micros flagged_at = -1;
    int16_t v[kBarCount];
    for (int k = 0; k < 20 * 20; ++k) {  // 20 s
      const double t = k / 20.0;
      for (int b = 0; b < kBarCount; ++b) v[b] = craftedValue(b, t, c.extra);
      st.add(v, static_cast<Micros>(t * kSecond));
      for (int b = 0; b < kBarCount; ++b) {
        if (!st.sentinel.ringing(b)) continue;
        ASSERT_EQ(b, c.ringing_band) << "at " << t << " s";
        if (flagged_at < 0) flagged_at = static_cast<Micros>(t * kSecond);
      }
    }
    if (c.ringing_band < 0) continue;
    ASSERT_GE(flagged_at, 10 * kSecond);
    EXPECT_LE(flagged_at, 12 * kSecond) << "flagged within 2 s of growing";
    EXPECT_EQ(st.sentinel.loudestRinging(), c.ringing_band);
    Status s = st.model.status(20 * kSecond);
    s.ringing_band = st.sentinel.loudestRinging();
    EXPECT_EQ(statusText(s), "Ringing near " + frequencyText(bandCentreHz(c.ringing_band)));
  }
}

TEST(ShowState, FrameCsvHasEveryBandAndTheShownReferences) {
  ShowState st;
  st.model.setAveraging(Averaging::fast);
  std::array<int16_t, kBarCount> v = all(kYellow48);
  v[7] = kFull;
  v[8] = 20000;  // above full scale: the height as the value converts, beyond 128
  st.add(v.data(), kSecond);
  st.add(all(kSilent).data(), kSecond + 50 * kMs);
  Reference shown = captureReference(st.model, "kick, dry");
  Reference hidden = shown;
  hidden.name = "hidden";
  hidden.shown = false;
  const std::string csv = frameCsv(st, {shown, hidden});

  std::vector<std::string> rows;
  for (size_t at = 0, end; (end = csv.find('\n', at)) != std::string::npos; at = end + 1) rows.push_back(csv.substr(at, end - at));
  ASSERT_EQ(rows.size(), 121u);
  EXPECT_EQ(rows[0], "band,centre_hz,value,height,peak_height,max_height,average_value,ringing,ref_kick_ dry");
  const double avg7 = 0 + (-32768 - 0) * (1 - std::exp(-0.4));
  const Band& b7 = st.model.band(7);
  char want[160];
  std::snprintf(want, sizeof want, "7,31.25,-32768,%d,128,128,%.2f,0,%.2f", barHeight(static_cast<int>(std::lround(avg7))),
                avg7, b7.averaged);
  EXPECT_EQ(rows[8], want);
  EXPECT_EQ(rows[9].substr(0, 15), "8,33.11,-32768,");
  EXPECT_EQ(rows[68].substr(0, 13), "67,1000.00,-3") << "centre_hz of band 67";

  // A reference reads back from its CSV.
  std::array<double, kBarCount> back{};
  ASSERT_TRUE(parseReferenceCsv(referenceCsv(shown), &back));
  for (int i = 0; i < kBarCount; ++i) EXPECT_NEAR(back[static_cast<size_t>(i)], shown.values[static_cast<size_t>(i)], 0.005);
  EXPECT_FALSE(parseReferenceCsv("band,centre_hz,value\n0,20.85,-1\n", &back)) << "a band short";
  EXPECT_EQ(safeName("../a/b:c"), "_a_b_c");
}

}  // namespace
