// The bandscope main window: Connect button, address box, level scale and 120 spectrum bars.
#pragma once

#include <QBrush>
#include <QElapsedTimer>
#include <QFont>
#include <QPen>
#include <QWidget>

#include <array>
#include <cstdint>

#include "bars.h"

class QLineEdit;
class QPainter;
class QPushButton;
class QSocketNotifier;
class QTimer;

namespace bandscope {

// Window layout, client coordinates.
inline constexpr int kWindowX = 220;
inline constexpr int kWindowY = 220;
// The layout was drawn for a 630 x 220 outer window; this client area holds all of it (the bars
// end at x = 609, the last label at y = 170) with the frame of a typical desktop around it.
inline constexpr int kClientWidth = 614;
inline constexpr int kClientHeight = 181;
inline constexpr char kWindowTitle[] = "bandscope - BANDSCOPE mixlink demo - ver 0.1";

// Counters for measuring the display path; kept always, they cost two clock reads per datagram.
struct DisplayStats {
  int64_t datagrams = 0;         // meter datagrams read
  int64_t frames = 0;            // paints that showed at least one new datagram
  int64_t latency_sum_us = 0;    // arrival of the oldest unshown datagram to the end of its frame
  int64_t latency_max_us = 0;
};

class BandscopeWindow : public QWidget {
  Q_OBJECT

 public:
  // Creates the window with its controls at their layout positions; address pre-fills the box.
  explicit BandscopeWindow(const QString& address = QString(), QWidget* parent = nullptr);
  ~BandscopeWindow() override;

  QPushButton* connectButton() const { return hwndconx; }
  QLineEdit* addressBox() const { return hwndipaddr; }
  bool isReady() const { return ready != 0; }
  bool isRunning() const { return keep_running != 0; }
  const std::array<int, kBarCount>& barHeights() const { return heights_; }
  const DisplayStats& stats() const { return stats_; }

  // Takes one meter datagram as wGetMeters left it in buf (len bytes): converts its 120 values
  // to heights and schedules a repaint.
  void showDatagram(const unsigned char* data, int length);

  // Replaces the bar heights shown and schedules a repaint.
  void setBarHeights(const std::array<int, kBarCount>& heights);

 signals:
  // The run is over: 0 after a close or a second Connect press, 1 after a failed connect.
  void finished(int status);

 protected:
  // QWidget
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void onConnectClicked();
  void connectSequence();
  void fail(const char* step, int result);
  void stop();
  void meterStep(bool datagram_waiting);
  void wBarMeters(int x, int y, int h);

  // Application state.
  int32_t keep_running = 1;
  int32_t ready = 0;
  int64_t before = 0;
  int64_t now = 0;
  unsigned char buf[256] = {};
  int32_t len = 0;
  char wingip[24] = {};
  int32_t M_port = 10026;
  int32_t M_id = 3;
  unsigned char mbits[32] = {};

  // Palette and label font, made once.
  QBrush gBrush;
  QBrush yBrush;
  QBrush rBrush;
  QBrush wBrush;
  QPen wnpen;
  QFont hfont;

  QPushButton* hwndconx = nullptr;
  QLineEdit* hwndipaddr = nullptr;
  // The painter of the paint in progress; bars are drawn only inside a paint.
  QPainter* hdc = nullptr;

  QSocketNotifier* meter_notifier_ = nullptr;
  QTimer* renew_timer_ = nullptr;
  std::array<int, kBarCount> heights_{};
  bool have_bars_ = false;  // no bars until the first datagram, as on a fresh connection

  DisplayStats stats_;
  QElapsedTimer clock_;
  int64_t unshown_since_us_ = -1;  // arrival of the oldest datagram not yet painted
};

}  // namespace bandscope
