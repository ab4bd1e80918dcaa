#include <gtest/gtest.h>

#include <QFontInfo>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "qt_app.h"
#include "window.h"

namespace {

using bandscope::BandscopeWindow;

const QColor kGreen(0, 200, 20);
const QColor kYellow(255, 200, 20);
const QColor kRed(255, 30, 0);
const QColor kWhite(255, 255, 255);

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apptest::qtApp(); }

  QImage render(BandscopeWindow& w) {
    QImage img(w.size(), QImage::Format_RGB32);
    img.fill(Qt::magenta);
    w.render(&img);
    return img;
  }
};

TEST_F(WindowTest, HasTheTitleSizeAndControlLayout) {
  BandscopeWindow w(QStringLiteral("10.0.0.7"));
  w.show();
  EXPECT_EQ(w.windowTitle(), QStringLiteral("bandscope - BANDSCOPE mixlink demo - ver 0.1"));
  EXPECT_EQ(w.frameGeometry().topLeft(), QPoint(220, 220));
  EXPECT_EQ(w.size(), QSize(614, 181));
  EXPECT_EQ(w.minimumSize(), w.maximumSize()) << "the window must not be resizable";
  EXPECT_EQ(w.palette().color(QPalette::Window), w.palette().color(QPalette::Button));

  EXPECT_EQ(w.connectButton()->text(), QStringLiteral("Connect"));
  EXPECT_EQ(w.connectButton()->geometry(), QRect(5, 15, 85, 20));
  EXPECT_EQ(w.addressBox()->geometry(), QRect(95, 15, 120, 20));
  EXPECT_EQ(w.addressBox()->text(), QStringLiteral("10.0.0.7")) << "the argument pre-fills the box";
  EXPECT_TRUE(BandscopeWindow().addressBox()->text().isEmpty());
}

TEST_F(WindowTest, LabelFontIsAnEightPixelSans) {
  BandscopeWindow w;
  // The font is private; a label cell is 8 px high whichever sans face stood in for Arial.
  QFont f("Arial");
  f.setPixelSize(8);
  const QString family = QFontInfo(f).family();
  EXPECT_TRUE(family.contains("Arial") || family.contains("Liberation Sans") || family.contains("DejaVu Sans"))
      << family.toStdString();
}

TEST_F(WindowTest, DrawsLabelsAndGridBeforeAnyBars) {
  BandscopeWindow w;
  const QImage img = render(w);
  const QColor face = w.palette().color(QPalette::Button);
  for (int k = 0; k < 8; ++k) {
    const int line_y = 55 + 16 * k;
    for (int x = 11; x <= 608; ++x) ASSERT_EQ(img.pixelColor(x, line_y), QColor(Qt::black)) << x << "," << line_y;
    EXPECT_NE(img.pixelColor(10, line_y), QColor(Qt::black));
    EXPECT_NE(img.pixelColor(609, line_y), QColor(Qt::black));
    // Some ink in each label's cell, left of the bars.
    int ink = 0;
    for (int y = 50 + 16 * k; y < 58 + 16 * k; ++y)
      for (int x = 0; x < 11; ++x) ink += img.pixelColor(x, y) != face;
    EXPECT_GT(ink, 3) << "label " << k;
  }
  // No bars yet: the bar area between grid lines is background.
  EXPECT_EQ(img.pixelColor(100, 60), face);
  EXPECT_EQ(img.pixelColor(100, 160), face);
}

// Each bar fills columns x+1..x+4 of rows 40..167 with its zones and white above the level; a
// height beyond the area shows a full bar and nothing above row 40.
TEST_F(WindowTest, PaintsEachBarsZonesClippedToTheBarArea) {
  const int tested[] = {0, 47, 48, 95, 96, 128, 129, 5000, 131052};
  std::array<int, bandscope::kBarCount> heights{};
  for (size_t i = 0; i < std::size(tested); ++i) heights[i * 3] = tested[i];

  BandscopeWindow w;
  w.setBarHeights(heights);
  const QImage img = render(w);
  const QColor face = w.palette().color(QPalette::Button);
  for (size_t i = 0; i < std::size(tested); ++i) {
    const int h = tested[i];
    const int x = 10 + 5 * static_cast<int>(i) * 3;
    for (int col = x + 1; col <= x + 4; ++col) {
      for (int row = 40; row < 168; ++row) {
        const int from_base = 168 - row;
        QColor want = kWhite;
        if (from_base <= h) want = from_base <= 48 ? kGreen : from_base <= 96 ? kYellow : kRed;
        ASSERT_EQ(img.pixelColor(col, row), want) << "h " << h << " at " << col << "," << row;
      }
      EXPECT_EQ(img.pixelColor(col, 39), face) << "nothing above the area, h " << h;
      EXPECT_EQ(img.pixelColor(col, 168), face) << "nothing below the base, h " << h;
    }
    // The column between two bars keeps the background and the grid.
    EXPECT_EQ(img.pixelColor(x + 5, 100), face);
    EXPECT_EQ(img.pixelColor(x + 5, 103), QColor(Qt::black));
  }
}

TEST_F(WindowTest, BarsSurviveARepaint) {
  std::array<int, bandscope::kBarCount> heights{};
  heights.fill(60);
  BandscopeWindow w;
  w.setBarHeights(heights);
  const QImage first = render(w);
  w.repaint();  // an expose redraws from the heights kept, not from a datagram
  EXPECT_EQ(render(w), first);
  EXPECT_EQ(first.pixelColor(12, 130), kGreen);
  EXPECT_EQ(first.pixelColor(12, 110), kYellow);
  EXPECT_EQ(first.pixelColor(12, 100), kWhite);
}

TEST_F(WindowTest, DatagramValuesBecomeBars) {
  unsigned char datagram[244] = {};
  for (int i = 0; i < bandscope::kBarCount; ++i) datagram[4 + 2 * i] = 0x80;  // -32768: empty
  datagram[4] = 0x00;       // bar 0: 0, full scale
  datagram[6] = 0xF4;       // bar 1: -3061 (0xF40B), first yellow height
  datagram[7] = 0x0B;
  BandscopeWindow w;
  w.showDatagram(datagram, sizeof datagram);
  EXPECT_EQ(w.barHeights()[0], 128);
  EXPECT_EQ(w.barHeights()[1], 48);
  EXPECT_EQ(w.barHeights()[2], 0);
  const QImage img = render(w);
  EXPECT_EQ(img.pixelColor(12, 40), kRed);
  EXPECT_EQ(img.pixelColor(17, 120), kGreen);  // 48: a full green zone, no yellow yet
  EXPECT_EQ(img.pixelColor(17, 119), kWhite);
}

// Only a complete click is a press: pressing, releasing elsewhere or a bare pressed/released
// signal must neither connect nor end the run.
TEST_F(WindowTest, SignalsOtherThanAClickDoNothing) {
  BandscopeWindow w;
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
  EXPECT_EQ(finished.count(), 0);
}

TEST_F(WindowTest, ClosingTheWindowEndsTheRunWithStatusZero) {
  BandscopeWindow w;
  w.show();
  QSignalSpy finished(&w, &BandscopeWindow::finished);
  w.close();
  ASSERT_EQ(finished.count(), 1);
  EXPECT_EQ(finished.at(0).at(0).toInt(), 0);
  EXPECT_FALSE(w.isRunning());
}

}  // namespace
