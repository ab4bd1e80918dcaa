// The bandscope main window: Connect button, address box, link status, level scale, 120 spectrum
// bars with peak markers and a max-hold trace, the frequency axis and a hover readout.
#pragma once

#include <QFont>
#include <QImage>
#include <QPalette>
#include <QPoint>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

#include "layout.h"
#include "link_worker.h"
#include "model.h"
#include "views.h"

class QLineEdit;
class QPushButton;
class QSettings;
class QTimer;

namespace bandscope {

// Window placement and title.
inline constexpr int kWindowX = 220;
inline constexpr int kWindowY = 220;
inline constexpr char kWindowTitle[] = "bandscope - BANDSCOPE mixlink demo - ver 0.1";

// Counters for measuring the display path.
struct DisplayStats {
  int64_t datagrams = 0;         // meter datagrams shown
  int64_t skipped = 0;           // datagrams left out because the window fell behind the link
  int64_t paints = 0;            // every paint of the window
  int64_t frames = 0;            // paints that showed at least one new datagram
  int64_t latency_sum_us = 0;    // reading of the oldest unshown datagram to the end of its frame
  int64_t latency_max_us = 0;
};

class BandscopeWindow : public QWidget {
  Q_OBJECT

 public:
  // Creates the window at the classic size with its controls at their places; address pre-fills
  // the box.
  explicit BandscopeWindow(const QString& address = QString(), QWidget* parent = nullptr);
  // Stops the link's thread, waiting for its current library call.
  ~BandscopeWindow() override;

  QPushButton* connectButton() const { return hwndconx; }
  QLineEdit* addressBox() const { return hwndipaddr; }
  bool isReady() const { return ready != 0; }
  bool isRunning() const { return keep_running != 0; }
  const DisplayStats& stats() const { return stats_; }
  const DisplayModel& model() const { return model_; }
  bool isDark() const { return theme_.dark; }

  // Replaces the clock of the display (microseconds, monotonic); for tests and replays.
  void setClock(std::function<Micros()> clock) { clock_ = std::move(clock); }

  // Takes one meter datagram of length bytes as if the link had just read it: a shorter one
  // leaves the tail of the last one in place.
  void showDatagram(const unsigned char* data, int length);

  // Restores the window geometry and the display settings, and saves them.
  void loadSettings(QSettings& settings);
  void saveSettings(QSettings& settings) const;

  // Turns on max hold, slow averaging and the dark theme and shows the readout of the 1 kHz
  // band, as when measuring the cost of everything at once.
  void showAllFeatures();

  // After the run has ended, waits up to ms for the link's thread; true when it has stopped.
  bool waitLinkStopped(int ms);

 signals:
  // The run is over: 0 after a close or a second Connect press, 1 after a failed connect.
  void finished(int status);

 protected:
  // QWidget
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void onConnectClicked();
  void takeMail();
  void fail(const std::string& step, int result);
  void stop();
  void setDark(bool dark);
  void scheduleFrame();
  void frame();
  void armStatusTimer(Micros now);
  // Turns painter on pane into device pixels of the whole window; returns the pixel ratio.
  double beginPanePaint(QPainter& painter, const QWidget* pane) const;
  Layout layoutAt(double dpr) const;
  // The bar columns' rectangle in the spectrum pane, in its logical pixels.
  QRect barColumnsRect() const;
  void paintSpectrum(QPainter& painter, const QRegion& region);
  void paintStatusPane(QPainter& painter);
  const QFont& textFontAt(double dpr, bool bold);

  // Application state.
  int32_t keep_running = 1;
  int32_t ready = 0;
  int32_t M_port = 10026;
  int32_t M_id = 3;
  unsigned char mbits[32] = {};

  QPushButton* hwndconx = nullptr;
  QLineEdit* hwndipaddr = nullptr;
  QWidget* spectrum_ = nullptr;  // scale, bars, frequency axis and readout, below the controls
  QWidget* status_ = nullptr;    // the status text, right of the address box
  Status shown_status_;          // what the status pane showed last
  bool shown_live_ = false;      // whether the spectrum pane showed live colours last
  bool spectrum_whole_ = true;   // the next spectrum paint covers the pane, not just the bars
  QRect bars_update_;            // the bar columns' update asked for by the last frame

  std::unique_ptr<LinkWorker> worker_;  // from the first press of Connect
  DisplayModel model_;
  std::function<Micros()> clock_ = steadyMicros;
  unsigned char buf_[256] = {};  // datagrams given to showDatagram

  Theme theme_;
  QPalette light_palette_;
  // The window background, scale and frequency axis at the last paint's size, ratio and theme.
  QImage backdrop_;
  double backdrop_dpr_ = 0;
  bool backdrop_dark_ = false;
  QFont text_font_;    // status and readout, at text_font_dpr_
  QFont status_font_;
  double text_font_dpr_ = 0;

  // Paints are paced to the screen's refresh; the status timer wakes for changes without data.
  QTimer* frame_timer_ = nullptr;
  QTimer* status_timer_ = nullptr;
  Micros frame_interval_us_ = 0;
  Micros status_due_ = 0;  // on the display's clock: when the armed status timer is meant for
  Micros last_paint_ = 0;  // on the steady clock, whatever the display's clock

  int hover_band_ = -1;
  QPoint hover_pos_;  // logical pixels
  // The readout box as last made, and for what.
  QImage readout_;
  int readout_band_ = -1;
  double readout_dpr_ = 0;
  bool readout_dark_ = false;
  Micros readout_made_ = 0;  // steady clock

  DisplayStats stats_;
  Micros unshown_since_ = -1;  // reading of the oldest datagram not yet painted
};

}  // namespace bandscope
