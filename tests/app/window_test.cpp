// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QDir>
#include <QFile>
#include <QSlider>

#include <array>
#include <vector>

#include "layout.h"
#include "qt_app.h"
#include "views.h"
#include "window.h"

namespace {

using bandscope::BandscopeWindow;
using bandscope::kGreen;
using bandscope::kRed;
using bandscope::kYellow;
using bandscope::Micros;
const QColor kWhite(255, 255, 255);

// Meter values and the heights they give: empty, the zone edges, full scale and beyond.
const int16_t kValues[] = {-32768, -3062, -3061, -930, -929, -1, 0, 26, 20000, 32767};

std::vector<unsigned char> datagramOf(const std::array<int16_t, bandscope::kBarCount>& values) {
  std::vector<unsigned char> d(bandscope::kRtaHeaderBytes + 2 * bandscope::kBarCount, 0);
  for (int i = 0; i < bandscope::kBarCount; ++i) {
    d[4 + 2 * i] = static_cast<unsigned char>(static_cast<uint16_t>(values[i]) >> 8);
    d[5 + 2 * i] = static_cast<unsigned char>(values[i] & 0xFF);
  }
  return d;
}

// Every third bar shows one of kValues, the others are empty.
std::array<int16_t, bandscope::kBarCount> sampleValues() {
  std::array<int16_t, bandscope::kBarCount> v;
  v.fill(-32768);
  for (size_t i = 0; i < std::size(kValues); ++i) v[i * 3] = kValues[i];
  return v;
}

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apptest::qtApp(); }

  // A window on a clock the test moves.
  void SetUp() override { w.setClock([this] { return now; }); }

  void show(const std::array<int16_t, bandscope::kBarCount>& values) {
    const auto d = datagramOf(values);
    w.showDatagram(d.data(), static_cast<int>(d.size()));
  }

  QImage render(double dpr = 1.0) {
    QImage img(w.size() * dpr, QImage::Format_RGB32);
    img.setDevicePixelRatio(dpr);
    img.fill(Qt::magenta);
    w.render(&img);
    return img;
  }

  QColor face() const { return w.palette().color(QPalette::Window); }

  Micros now = 100 * bandscope::kSecond;
  BandscopeWindow w;
};

TEST_F(WindowTest, StartsAtTheClassicSizeAndLayoutAndCanGrow) {
  BandscopeWindow v(QStringLiteral("10.0.0.7"));
  v.show();
  EXPECT_EQ(v.windowTitle(), QStringLiteral("bandscope - BANDSCOPE mixlink demo - ver 0.1"));
  EXPECT_EQ(v.frameGeometry().topLeft(), QPoint(220, 220));
  EXPECT_EQ(v.size(), QSize(614, 181));
  EXPECT_EQ(v.minimumSize(), QSize(614, 181)) << "never smaller than the classic window";
  EXPECT_GT(v.maximumWidth(), 614);
  EXPECT_GT(v.maximumHeight(), 181);
  EXPECT_EQ(v.palette().color(QPalette::Window), v.palette().color(QPalette::Button));

  EXPECT_EQ(v.connectButton()->text(), QStringLiteral("Connect"));
  EXPECT_EQ(v.connectButton()->geometry(), QRect(5, 15, 85, 20));
  EXPECT_EQ(v.addressBox()->geometry(), QRect(95, 15, 120, 20));
  EXPECT_EQ(v.addressBox()->text(), QStringLiteral("10.0.0.7")) << "the argument pre-fills the box";
  EXPECT_TRUE(w.addressBox()->text().isEmpty());
}

TEST_F(WindowTest, LabelFontIsAnEightPixelSans) {
  const QString family = QFontInfo(bandscope::labelFont(8)).family();
  EXPECT_TRUE(family.contains("Arial") || family.contains("Liberation Sans") || family.contains("DejaVu Sans"))
      << family.toStdString();
}

// Before any datagram: the classic labels and grid, and the frequency labels in the free rows
// below the bar area; nothing in the bar area or the status area.
TEST_F(WindowTest, DrawsTheScaleAndTheFrequencyAxisBeforeAnyBars) {
  const QImage img = render();
  for (int k = 0; k < 8; ++k) {
    const int line_y = 55 + 16 * k;
    for (int x = 11; x <= 608; ++x) ASSERT_EQ(img.pixelColor(x, line_y), QColor(Qt::black)) << x << "," << line_y;
    EXPECT_NE(img.pixelColor(10, line_y), QColor(Qt::black));
    EXPECT_NE(img.pixelColor(609, line_y), QColor(Qt::black));
    int ink = 0;
    for (int y = 50 + 16 * k; y < 58 + 16 * k; ++y)
      for (int x = 0; x < 11; ++x) ink += img.pixelColor(x, y) != face();
    EXPECT_GT(ink, 3) << "label " << k;
  }
  EXPECT_EQ(img.pixelColor(100, 60), face());
  EXPECT_EQ(img.pixelColor(100, 160), face());
  for (int y = 0; y < 40; ++y)
    for (int x = 220; x < 614; ++x) ASSERT_EQ(img.pixelColor(x, y), face()) << "status area " << x << "," << y;

  // One label under each nominal band (31.5 Hz to 16 kHz), nothing else below the bars.
  const bandscope::Layout l(614, 181, 1.0);
  int labels = 0;
  bool in_label = false;
  for (int x = 0; x < 614; ++x) {
    bool ink = false;
    for (int y = 168; y < 181; ++y) ink |= img.pixelColor(x, y) != face();
    if (ink && !in_label) ++labels;
    in_label = ink;
  }
  EXPECT_GE(labels, 10) << "ten labels, some of several separate glyphs";
  for (const auto& a : bandscope::kAxisLabels) {
    const int band = bandscope::bandNearestTo(a.hz);
    int ink = 0;
    for (int y = 168; y < 181; ++y)
      for (int x = l.barLeft(band) - 2; x < l.barRight(band) + 2; ++x) ink += img.pixelColor(x, y) != face();
    EXPECT_GT(ink, 0) << a.text;
  }
}

// Each bar fills columns x+1..x+4 of rows 40..167 with its zones and white above the level; the
// peak marker sits on the level (inside the area at full scale); the gap keeps the grid.
TEST_F(WindowTest, PaintsEachBarsZonesAndPeakMarkerInTheClassicArea) {
  show(sampleValues());
  const QImage img = render();
  const QColor marker = bandscope::lightTheme(face()).marker;
  for (size_t i = 0; i < std::size(kValues); ++i) {
    const int h = bandscope::barHeight(kValues[i]);
    const int level = 168 - std::min(h, 128);
    const int marker_top = h >= 1 ? std::max(40, level - 2) : 1000;
    const int x = 10 + 5 * static_cast<int>(i) * 3;
    for (int col = x + 1; col <= x + 4; ++col) {
      for (int row = 40; row < 168; ++row) {
        const int from_base = 168 - row;
        QColor want = kWhite;
        if (from_base <= h) want = from_base <= 48 ? kGreen : from_base <= 96 ? kYellow : kRed;
        if (row >= marker_top && row < marker_top + 2) want = marker;
        ASSERT_EQ(img.pixelColor(col, row), want) << "h " << h << " at " << col << "," << row;
      }
      EXPECT_EQ(img.pixelColor(col, 39), face()) << "nothing above the area, h " << h;
      EXPECT_EQ(img.pixelColor(col, 168), face()) << "nothing below the base, h " << h;
    }
    EXPECT_EQ(img.pixelColor(x + 5, 100), face());
    EXPECT_EQ(img.pixelColor(x + 5, 103), QColor(Qt::black));
  }
  w.repaint();  // an expose redraws from the model, not from a datagram
  EXPECT_EQ(render(), img);
}

TEST_F(WindowTest, DatagramValuesBecomeBarsAndAShortOneIsCountedNotDrawn) {
  std::array<int16_t, bandscope::kBarCount> v;
  v.fill(-32768);
  v[0] = 0;
  v[1] = -3061;
  v[119] = -1;
  show(v);
  EXPECT_EQ(w.model().band(0).height, 128);
  EXPECT_EQ(w.model().band(1).height, 48);
  EXPECT_EQ(w.model().band(2).height, 0);
  const QImage img = render();
  EXPECT_EQ(img.pixelColor(12, 45), kRed);
  EXPECT_EQ(img.pixelColor(17, 120), kGreen);  // 48: a full green zone, no yellow yet

  // A datagram cut anywhere before the end of the RTA block changes no bar, is not kept for the
  // timeline, and is counted; one whole block is enough again.
  std::vector<unsigned char> cut(244, 0);  // every value 0: full scale, were it read
  int64_t counted = 0;
  for (const int length : {0, 6, 100, 243}) {
    SCOPED_TRACE(length);
    now += 10000;
    w.showDatagram(cut.data(), length);
    EXPECT_EQ(w.model().droppedShort(), ++counted);
    EXPECT_EQ(w.model().band(2).height, 0);
    EXPECT_EQ(w.recorder().size(), 1u);
    EXPECT_EQ(render(), img);
  }
  w.showDatagram(cut.data(), 244);
  EXPECT_EQ(w.model().band(2).height, 128);
}

TEST_F(WindowTest, LargerWindowScalesBarsGridAndLabels) {
  w.resize(1200, 600);
  show(sampleValues());
  const QImage img = render();
  const bandscope::Layout l(1200, 600, 1.0);
  for (int k = 0; k < 8; ++k) {
    for (int y = l.gridRow(k); y < l.gridRow(k) + l.line_thickness; ++y) {
      for (int x = l.gridLeft(); x < l.gridRight(); ++x) {
        if (l.bandAt(x) >= 0 && x >= l.barLeft(l.bandAt(x))) continue;  // grid shows in the gaps
        ASSERT_EQ(img.pixelColor(x, y), QColor(Qt::black)) << x << "," << y;
      }
    }
  }
  // Bar 18 is full scale (value 0): its zones at their scaled heights, from edge to edge.
  const int full = 18;
  ASSERT_EQ(w.model().band(full).height, 128);
  for (int x = l.barLeft(full); x < l.barRight(full); ++x) {
    EXPECT_EQ(img.pixelColor(x, l.rowAt(1)), kGreen);
    EXPECT_EQ(img.pixelColor(x, l.rowAt(48)), kGreen);
    EXPECT_EQ(img.pixelColor(x, l.rowAt(48) - 1), kYellow);
    EXPECT_EQ(img.pixelColor(x, l.rowAt(96) - 1), kRed);
    EXPECT_EQ(img.pixelColor(x, l.rowAt(120)), kRed);
  }
  EXPECT_NE(img.pixelColor(l.barLeft(full) - 1, l.rowAt(60)), kRed) << "the gap before the bar";
  // The top label's glyphs grew with the font: ink over about twice the classic 8 rows.
  int first = -1, last = -1;
  for (int y = l.top; y < l.labelTop(1); ++y)
    for (int x = 0; x < l.left; ++x)
      if (img.pixelColor(x, y) != face()) {
        if (first < 0) first = y;
        last = y;
      }
  EXPECT_GE(last - first + 1, 10);
}

// At device pixel ratio 2 the bar area is the classic picture with every pixel doubled.
TEST_F(WindowTest, DevicePixelRatioTwoDoublesTheClassicPicture) {
  show(sampleValues());
  w.setFocus();
  QTest::keyClick(&w, Qt::Key_M);  // the max-hold trace too
  const QImage one = render(1.0);
  const QImage two = render(2.0);
  ASSERT_EQ(two.size(), QSize(1228, 362));
  for (int y = 80; y < 336; ++y)
    for (int x = 22; x < 1218; ++x)
      ASSERT_EQ(two.pixelColor(x, y), one.pixelColor(x / 2, y / 2)) << x << "," << y;
}

// Frames repaint only the bar columns over what the screen already shows; after every kind of
// change the screen must show what a paint from scratch shows.
TEST_F(WindowTest, FramesOnScreenMatchAPaintFromScratch) {
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  std::array<int16_t, bandscope::kBarCount> low;
  low.fill(-20000);
  const std::function<void()> steps[] = {
      [&] { show(sampleValues()); },
      [&] { QTest::keyClick(&w, Qt::Key_M); },
      [&] { show(low); },
      [&] { QTest::mouseMove(&w, QPoint(300, 100)); },
      [&] { show(sampleValues()); },
      [&] { now += 600000; show(low); },
      [&] { QTest::mouseMove(&w, QPoint(20, 20)); },
      [&] { now += 600000; QTest::keyClick(&w, Qt::Key_P); },  // stale: greys, peaks reset
  };
  auto onScreen = [&] { return w.screen()->grabWindow(w.winId()).toImage().convertToFormat(QImage::Format_RGB32); };
  int step = 0;
  for (const auto& change : steps) {
    change();
    // However slow the machine, the next frames must arrive at a paint from scratch.
    const QImage fresh = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
    apptest::pumpUntil([&] { return onScreen() == fresh; }, 2000);
    ASSERT_EQ(onScreen(), fresh) << "after step " << step;
    ++step;
  }
  EXPECT_GT(w.stats().paints, 8);
}

TEST_F(WindowTest, BarsTurnGreyWhenNoDatagramCameFor500Ms) {
  show(sampleValues());
  QTest::keyClick(&w, Qt::Key_M);
  auto colouredPixels = [&] { return apptest::colouredBarPixels(render()); };
  now += 499000;
  EXPECT_GT(colouredPixels(), 1000);
  now += 1000;
  EXPECT_EQ(colouredPixels(), 0) << "no green, yellow, red or trace colour anywhere in the bar area";
  show(sampleValues());
  EXPECT_GT(colouredPixels(), 1000) << "colour comes back with the next datagram";
}

TEST_F(WindowTest, KeysToggleFeaturesButNotWhileTypingAnAddress) {
  show(sampleValues());
  QTest::keyClick(w.addressBox(), Qt::Key_A);
  EXPECT_EQ(w.addressBox()->text(), QStringLiteral("a"));
  EXPECT_EQ(w.model().averaging(), bandscope::Averaging::off);

  QTest::keyClick(&w, Qt::Key_A);
  EXPECT_EQ(w.model().averaging(), bandscope::Averaging::fast);
  QTest::keyClick(&w, Qt::Key_M);
  EXPECT_TRUE(w.model().maxHold());
  QTest::keyClick(&w, Qt::Key_M);
  EXPECT_FALSE(w.model().maxHold());
  QTest::keyClick(&w, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(w.model().averaging(), bandscope::Averaging::fast) << "Ctrl+A is not A";

  QTest::keyClick(&w, Qt::Key_T);
  EXPECT_TRUE(w.isDark());
  const QImage dark = render();
  EXPECT_LT(face().lightness(), 80);
  EXPECT_EQ(dark.pixelColor(100, 10), face());
  EXPECT_EQ(dark.pixelColor(10 + 5 * 18 + 1, 160), kGreen) << "the bar colours stay";
  QTest::keyClick(&w, Qt::Key_T);
  EXPECT_FALSE(w.isDark());

  w.show();
  QTest::keyClick(&w, Qt::Key_F11);
  EXPECT_TRUE(w.isFullScreen());
  QTest::keyClick(&w, Qt::Key_Escape);
  EXPECT_FALSE(w.isFullScreen());
}

TEST_F(WindowTest, SettingsAreRememberedBetweenRuns) {
  QTemporaryDir dir;
  QSettings settings(dir.filePath("bandscope.conf"), QSettings::IniFormat);
  {
    BandscopeWindow first;
    first.show();
    first.resize(900, 400);
    QTest::keyClick(&first, Qt::Key_T);
    QTest::keyClick(&first, Qt::Key_A);
    QTest::keyClick(&first, Qt::Key_A);
    QTest::keyClick(&first, Qt::Key_M);
    first.saveSettings(settings);
  }
  BandscopeWindow second;
  second.loadSettings(settings);
  second.show();
  EXPECT_EQ(second.size(), QSize(900, 400));
  EXPECT_TRUE(second.isDark());
  EXPECT_EQ(second.model().averaging(), bandscope::Averaging::slow);
  EXPECT_TRUE(second.model().maxHold());
}

TEST_F(WindowTest, HoverReadoutNamesTheBandAndTheLinkFigures) {
  std::array<int16_t, bandscope::kBarCount> v;
  v.fill(-3061);
  show(v);
  bandscope::DisplayModel m = w.model();
  m.setDroppedForeign(3);
  const QStringList lines = bandscope::readoutLines(m, 67, now + 150000);
  EXPECT_EQ(lines, QStringList({"1.00 kHz", "value -3061", "height 48 of 128", "peak 48",
                                "1 datagrams/s, 3 foreign dropped"}));

  w.show();
  const bandscope::Layout l(614, 181, 1.0);
  const QPoint over(l.barLeft(67) + 1, 100);
  const QImage before = render();
  QTest::mouseMove(&w, over);
  const QImage hovering = render();
  int changed = 0;
  for (int y = 0; y < 181; ++y)
    for (int x = 0; x < 614; ++x) changed += before.pixel(x, y) != hovering.pixel(x, y);
  EXPECT_GT(changed, 1000) << "the readout box appears";
}

// Only a complete click is a press: pressing, releasing elsewhere or a bare pressed/released
// signal must neither connect nor end the run.
TEST_F(WindowTest, SignalsOtherThanAClickDoNothing) {
  w.show();
  QSignalSpy finished(&w, &BandscopeWindow::finished);
  QPushButton* b = w.connectButton();
  emit b->pressed();
  emit b->released();
  emit b->toggled(true);
  QTest::mousePress(b, Qt::LeftButton);
  QTest::mouseRelease(&w, Qt::LeftButton, {}, QPoint(400, 100));
  QTest::mouseClick(b, Qt::RightButton);
  EXPECT_FALSE(w.isReady());
  EXPECT_TRUE(w.isRunning());
  EXPECT_EQ(b->text(), QStringLiteral("Connect"));
  EXPECT_EQ(finished.count(), 0);
}

TEST_F(WindowTest, ClosingTheWindowEndsTheRunWithStatusZero) {
  w.show();
  QSignalSpy finished(&w, &BandscopeWindow::finished);
  w.close();
  ASSERT_EQ(finished.count(), 1);
  EXPECT_EQ(finished.at(0).at(0).toInt(), 0);
  EXPECT_FALSE(w.isRunning());
}

std::array<int16_t, bandscope::kBarCount> allOf(int16_t v) {
  std::array<int16_t, bandscope::kBarCount> a;
  a.fill(v);
  return a;
}

// Space holds the picture while datagrams are still taken and kept; Left and Right step through
// what was kept; Space again shows the latest.
TEST_F(WindowTest, FreezeHoldsThePictureWhileDatagramsAreStillKept) {
  show(allOf(-20000));
  now += 50000;
  show(sampleValues());
  QTest::keyClick(&w, Qt::Key_Space);
  ASSERT_TRUE(w.isFrozen());
  EXPECT_EQ(w.statusLine(), QStringLiteral("Frozen"));
  auto spectrum = [&] { return render().copy(0, 40, 614, 141); };
  const QImage frozen = spectrum();
  now += 50000;
  show(allOf(0));
  EXPECT_EQ(w.model().band(3).height, 128) << "the datagram is taken";
  EXPECT_EQ(w.recorder().size(), 3u) << "and kept";
  EXPECT_EQ(spectrum(), frozen) << "but the picture holds";
  EXPECT_EQ(w.statusLine(), QStringLiteral("Frozen"));
  EXPECT_TRUE(w.findChild<QSlider*>("timeline")->isVisibleTo(&w));

  QTest::keyClick(&w, Qt::Key_Left);
  EXPECT_EQ(w.shown().model.band(0).height, bandscope::barHeight(-20000)) << "the moment before";
  EXPECT_TRUE(w.statusLine().startsWith(QStringLiteral("Frozen at "))) << w.statusLine().toStdString();
  QTest::keyClick(&w, Qt::Key_Right);
  EXPECT_EQ(spectrum(), frozen) << "the moment of freezing, rebuilt from what was kept";

  // What was kept saves as a recording of its datagrams.
  QTemporaryDir dir;
  ASSERT_TRUE(w.saveShow(dir.filePath("show.pcap"), 1));
  QFile saved(dir.filePath("show.pcap"));
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  const QByteArray bytes = saved.readAll();
  std::vector<bandscope::MeterDatagram> back;
  EXPECT_EQ(bandscope::readRecording(std::vector<unsigned char>(bytes.begin(), bytes.end()), 10026, &back), "");
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[2].at - back[0].at, 100000) << "spaced as they came";

  QTest::keyClick(&w, Qt::Key_Space);
  EXPECT_FALSE(w.isFrozen());
  EXPECT_EQ(w.shown().model.band(3).height, 128) << "live again, with what came meanwhile";
  EXPECT_FALSE(w.findChild<QSlider*>("timeline")->isVisibleTo(&w));
}

// R captures the spectrum as an outline in its colour; the traces are files in the data folder,
// found again by the next run; renamed, hidden, refused past eight, and cleared by Shift+R.
TEST_F(WindowTest, ReferenceTracesAreDrawnKeptBetweenRunsAndCleared) {
  QTemporaryDir dir;
  w.setDataFolder(dir.path());
  show(allOf(-3061));  // height 48
  QTest::keyClick(&w, Qt::Key_R);
  ASSERT_EQ(w.references().size(), 1u);
  show(allOf(-32768));
  auto traced = [&](int height) {
    const QImage img = render();
    const bandscope::Layout l(614, 181, 1.0);
    int n = 0;
    for (int i = 0; i < bandscope::kBarCount; ++i) n += img.pixelColor(l.barLeft(i) + 1, l.rowAt(height) - 1) == bandscope::referenceColour(0);
    return n;
  };
  EXPECT_EQ(traced(48), bandscope::kBarCount) << "the outline stays where it was captured";
  w.renameReference(0, "kick");
  EXPECT_TRUE(QFile::exists(dir.filePath("kick.csv")));
  w.setReferenceShown(0, false);
  EXPECT_EQ(traced(48), 0);
  w.setReferenceShown(0, true);

  {
    BandscopeWindow next;
    next.setDataFolder(dir.path());
    next.loadReferences();
    ASSERT_EQ(next.references().size(), 1u);
    EXPECT_EQ(next.references()[0].name, "kick");
    EXPECT_EQ(next.references()[0].values[5], -3061);
  }

  for (int k = 1; k < bandscope::kMaxReferences; ++k) EXPECT_TRUE(w.captureReference());
  EXPECT_FALSE(w.captureReference()) << "eight at most";
  EXPECT_EQ(QDir(dir.path()).entryList({"*.csv"}).size(), bandscope::kMaxReferences);
  QTest::keyClick(&w, Qt::Key_R, Qt::ShiftModifier);
  EXPECT_TRUE(w.references().empty());
  EXPECT_TRUE(QDir(dir.path()).entryList({"*.csv"}).isEmpty());
}

// V cycles bars, spectrogram and both; the spectrogram fills the bar columns at any size and
// the bars view is the classic picture again.
TEST_F(WindowTest, ViewsCycleAndTheSpectrogramFillsTheBarArea) {
  for (int k = 0; k < 30; ++k) {  // three seconds: thirty rows of the spectrogram's 600
    now += 100000;
    show(k == 29 ? sampleValues() : allOf(k % 2 ? -3061 : -6000));
  }
  auto rowsOfThree = [](const bandscope::Layout& l) {
    return (l.spectrogram_bottom - l.spectrogram_top) * 30 / bandscope::Spectrogram::kRows;
  };
  const QImage bars = render();
  const QColor floor = bandscope::lightTheme(face()).spectrogram_floor;
  auto colouredRows = [&](const QImage& img, const bandscope::Layout& l, int from, int to) {
    int rows = 0;
    for (int y = from; y < to; ++y) {
      int n = 0;
      for (int x = l.left; x < l.right; ++x) {
        const QColor c = img.pixelColor(x, y);
        n += c != floor && (c.red() != c.green() || c.green() != c.blue());
      }
      rows += n > (l.right - l.left) / 2;
    }
    return rows;
  };
  QTest::keyClick(&w, Qt::Key_V);
  EXPECT_EQ(w.view(), bandscope::View::spectrogram);
  w.resize(1200, 600);
  const bandscope::Layout alone(1200, 600, 1.0, bandscope::View::spectrogram);
  QImage img = render();
  EXPECT_GE(colouredRows(img, alone, alone.spectrogram_top, alone.spectrogram_top + rowsOfThree(alone)), rowsOfThree(alone) - 2)
      << "the newest three seconds at the top, across the columns";
  EXPECT_EQ(colouredRows(img, alone, alone.spectrogram_bottom - 100, alone.spectrogram_bottom), 0)
      << "older than the datagrams: the floor colour";

  QTest::keyClick(&w, Qt::Key_V);
  EXPECT_EQ(w.view(), bandscope::View::both);
  const bandscope::Layout both(1200, 600, 1.0, bandscope::View::both);
  img = render();
  EXPECT_GT(both.top, both.spectrogram_bottom);
  EXPECT_GE(colouredRows(img, both, both.spectrogram_top, both.spectrogram_top + rowsOfThree(both)), rowsOfThree(both) - 2);
  EXPECT_EQ(img.pixelColor(both.barLeft(18), both.rowAt(1)), bandscope::kGreen) << "bars below it";

  QTest::keyClick(&w, Qt::Key_V);
  w.resize(614, 181);
  EXPECT_EQ(render(), bars) << "the bars view is the classic picture";
}

// A recording made while showing datagrams, replayed, ends on the frame it came from: the same
// CSV, averaging, peaks, max hold and sentinel included, a cut datagram left out alike.
TEST_F(WindowTest, ReplayOfARecordingGivesTheCsvOfTheLiveFrame) {
  QTemporaryDir dir;
  const QString recording = dir.filePath("show.pcap");
  QTest::keyClick(&w, Qt::Key_A);
  QTest::keyClick(&w, Qt::Key_M);
  ASSERT_TRUE(w.startRecording(recording));
  for (int k = 0; k < 40; ++k) {
    now += 20000 + 7919 * (k % 5);
    auto v = k % 3 ? sampleValues() : allOf(static_cast<int16_t>(-9000 + 150 * k));
    v[83] = static_cast<int16_t>(std::min(0, -4000 + 120 * k));
    if (k == 25) {
      const unsigned char cut[8] = {0, 0, 0, 3, 0x00, 0x00, 0xC0, 0x00};
      w.showDatagram(cut, sizeof cut);
      continue;
    }
    show(v);
  }
  w.stopRecording();
  const QString live = dir.filePath("live.csv");
  ASSERT_TRUE(w.exportCsv(live));

  BandscopeWindow replay;
  QTest::keyClick(&replay, Qt::Key_A);
  QTest::keyClick(&replay, Qt::Key_M);
  QString why;
  ASSERT_TRUE(replay.startReplay(recording, &why)) << why.toStdString();
  EXPECT_TRUE(replay.statusLine().startsWith(QStringLiteral("Replay "))) << replay.statusLine().toStdString();
  ASSERT_TRUE(apptest::pumpUntil([&] { return replay.isReplayPaused(); }, 5000)) << "plays to its end and rests";
  const QString replayed = dir.filePath("replayed.csv");
  ASSERT_TRUE(replay.exportCsv(replayed));
  QFile a(live), b(replayed);
  ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
  const QByteArray want = a.readAll();
  EXPECT_EQ(b.readAll().toStdString(), want.toStdString());
  EXPECT_EQ(want.count('\n'), 121);

  QString error;
  BandscopeWindow other;
  EXPECT_FALSE(other.startReplay(live, &error));
  EXPECT_EQ(error, QStringLiteral("not a classic pcap file"));
}

}  // namespace
