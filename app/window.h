// SPDX-License-Identifier: MIT
// The bandscope main window: Connect button, address box, link status, level scale, 120 spectrum
// bars with peak markers and a max-hold trace, the frequency axis and a hover readout; and what
// keeps the show: freeze with a timeline over the show recorder, reference traces, the
// spectrogram, the feedback sentinel, CSV and picture export, recording and replay.
#pragma once

#include <QFont>
#include <QImage>
#include <QPalette>
#include <QPoint>
#include <QWidget>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "layout.h"
#include "link_worker.h"
#include "model.h"
#include "show.h"
#include "views.h"

class QLineEdit;
class QListWidget;
class QPushButton;
class QSettings;
class QSlider;
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
  // The display of the datagrams as they come, and what the window shows (the same unless frozen).
  const DisplayModel& model() const { return live_.model; }
  const ShowState& shown() const { return frozen_ ? *frozen_ : live_; }
  bool isDark() const { return theme_.dark; }
  View view() const { return view_; }
  int spectrogramFloor() const { return floor_; }
  bool isFrozen() const { return frozen_.has_value(); }
  const ShowRecorder& recorder() const { return replay_ ? replay_data_ : recorder_; }
  const std::vector<Reference>& references() const { return references_; }
  // The status area's text at the moment.
  QString statusLine() const;

  // Where reference traces are kept, and where exports, pictures and recordings go.
  void setDataFolder(const QString& folder) { data_folder_ = folder; }
  void setExportFolder(const QString& folder) { export_folder_ = folder; }
  // Loads the reference traces kept in the data folder.
  void loadReferences();

  // Holds the picture while datagrams are still read and recorded, or lets it go live again.
  void setFrozen(bool frozen);
  // While frozen or paused: shows the datagram delta steps later (earlier when negative).
  void step(int delta);
  // While frozen or paused: shows the moment of the datagram at index of the recorder.
  void showMoment(size_t index);

  // Captures the spectrum shown as a reference trace; false when eight are kept already.
  bool captureReference();
  void clearReferences();
  void renameReference(int index, const std::string& name);
  void removeReference(int index);
  void setReferenceShown(int index, bool shown);

  void setView(View view);
  void setSpectrogramFloor(int floor);

  // Writes the frame's CSV, or the window's picture at its size and pixel ratio, to path.
  bool exportCsv(const QString& path);
  bool savePicture(const QString& path);
  // Records every meter datagram that comes to path, until stopped.
  bool startRecording(const QString& path);
  void stopRecording();
  bool isRecording() const { return recording_file_ != nullptr; }
  // Writes the show recorder's last minutes to path as a recording.
  bool saveShow(const QString& path, int minutes);
  // Shows the recording at path at its recorded pace instead of a console; false with the
  // reason in error when it cannot be read.
  bool startReplay(const QString& path, QString* error);
  bool isReplayPaused() const { return replay_ && !replay_running_; }
  void setReplayPaused(bool paused);

  // Replaces the clock of the display (microseconds, monotonic); for tests and replays.
  void setClock(std::function<Micros()> clock) { clock_ = std::move(clock); }

  // Takes one meter datagram of length bytes as if the link had just read it: a shorter one
  // leaves the tail of the last one in place.
  void showDatagram(const unsigned char* data, int length);

  // Restores the window geometry and the display settings, and saves them.
  void loadSettings(QSettings& settings);
  void saveSettings(QSettings& settings) const;

  // Turns on max hold, slow averaging and the dark theme and shows the readout of the 1 kHz
  // band, as when measuring the cost of everything at once; show adds the spectrogram with the
  // bars and two reference traces.
  void showAllFeatures(bool show = false);

  // After the run has ended, waits up to ms for the link's thread; true when it has stopped.
  bool waitLinkStopped(int ms);

  // What else gets the live link's news (the web view): each datagram and link change as the
  // window takes them, and a call on the link's thread between its library calls, where reads
  // of the console may be made. Set before Connect.
  struct Taps {
    std::function<void(const MeterDatagram&)> datagram;
    std::function<void(Link)> link;
    std::function<void()> on_link_thread;
  };
  void setTaps(Taps taps) { taps_ = std::move(taps); }

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
  void take(const MeterDatagram& d);
  void playReplay();
  QString defaultPath(const QString& extension) const;
  void notify(const QString& text);
  void saveReferenceFile(const Reference& r);
  void removeReferenceFile(const Reference& r);
  void referencesChanged();
  void showReferenceList();
  void updateTimeline();
  Status currentStatus(Micros now) const;
  Micros shownNow() const { return frozen_ ? frozen_at_ : clock_(); }
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
  bool shown_live_ = false;      // whether the spectrum pane showed live colours last
  bool spectrum_whole_ = true;   // the next spectrum paint covers the pane, not just the bars
  QRect bars_update_;            // the bar columns' update asked for by the last frame

  std::unique_ptr<LinkWorker> worker_;  // from the first press of Connect
  Taps taps_;
  ShowState live_;                      // the datagrams as they come (or as a replay plays them)
  std::optional<ShowState> frozen_;     // the picture held while frozen
  Micros frozen_at_ = 0;                // the display time of the frozen picture
  bool frozen_moved_ = false;           // the frozen picture was moved off the moment of freezing
  // Wall-clock time less the display's clock, taken once, so that a recording keeps the
  // datagrams' spacing exactly as the display saw it.
  Micros wall_offset_ = 0;
  ShowRecorder recorder_;               // the last hour of datagrams
  std::vector<Reference> references_;
  QString data_folder_, export_folder_;
  View view_ = View::bars;
  int floor_ = 0;
  QImage spectrogram_image_;
  QString notice_;
  Micros notice_until_ = 0;              // steady clock
  QString shown_status_text_;
  std::FILE* recording_file_ = nullptr;
  QString recording_path_;
  QSlider* timeline_ = nullptr;          // while frozen or paused: the moment shown
  Micros timeline_from_ = 0;
  QWidget* reference_list_ = nullptr;
  QListWidget* reference_items_ = nullptr;
  // A replay: its datagrams, the next one to show, and where the recorded time line stood
  // against the steady clock when it last started playing.
  bool replay_ = false;
  bool replay_running_ = false;
  ShowRecorder replay_data_{INT64_MAX, SIZE_MAX};
  size_t replay_next_ = 0;
  Micros replay_origin_steady_ = 0, replay_origin_at_ = 0;
  QTimer* replay_timer_ = nullptr;
  std::function<Micros()> clock_ = steadyMicros;
  unsigned char buf_[256] = {};  // datagrams given to showDatagram

  Theme theme_;
  QPalette light_palette_;
  // The window background, scale and frequency axis at the last paint's size, ratio and theme.
  QImage backdrop_;
  double backdrop_dpr_ = 0;
  bool backdrop_dark_ = false;
  View backdrop_view_ = View::bars;
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
