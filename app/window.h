// SPDX-License-Identifier: MIT
// The bandscope main window: Connect button, address box, status, and below them the spectrum
// view; the action table's keys, context menu and key list; the settings. What it shows and
// keeps lives in its parts: the playback (live, frozen, replay), the link session, the frame
// pacer, the reference store and the show files.
#pragma once

#include <QPalette>
#include <QPoint>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

#include "actions.h"
#include "frame_pacer.h"
#include "layout.h"
#include "link_session.h"
#include "model.h"
#include "playback.h"
#include "references.h"
#include "show.h"
#include "show_files.h"
#include "spectrum_view.h"
#include "views.h"

class QLineEdit;
class QMenu;
class QPushButton;
class QSettings;
class QSlider;
class QTimer;

namespace bandscope {

// Window placement and title.
inline constexpr int kWindowX = 220;
inline constexpr int kWindowY = 220;
inline constexpr char kWindowTitle[] = "bandscope - BANDSCOPE mixlink demo - ver 0.1";

class BandscopeWindow : public QWidget {
  Q_OBJECT

 public:
  // Creates the window at the classic size with its controls at their places; address pre-fills
  // the box.
  explicit BandscopeWindow(const QString& address = QString(), QWidget* parent = nullptr);
  // Stops the link's thread, waiting for its current library call.
  ~BandscopeWindow() override;

  QPushButton* connectButton() const { return connect_button_; }
  QLineEdit* addressBox() const { return address_box_; }
  bool isReady() const { return connected_; }
  bool isRunning() const { return running_; }
  const DisplayStats& stats() const { return pacer_->stats(); }
  // The display of the datagrams as they come, and what the window shows (the same unless frozen).
  const DisplayModel& model() const { return playback_.live().model; }
  const ShowState& shown() const { return playback_.shown(); }
  bool isDark() const { return theme_.dark; }
  View view() const { return view_; }
  int spectrogramFloor() const { return floor_; }
  bool isFrozen() const { return playback_.isFrozen(); }
  const ShowRecorder& recorder() const { return playback_.recorder(); }
  const std::vector<Reference>& references() const { return references_->all(); }
  // The status area's text at the moment.
  QString statusLine() const;

  // Where reference traces are kept, and where exports, pictures and recordings go.
  void setDataFolder(const QString& folder) { references_->setFolder(folder); }
  void setExportFolder(const QString& folder) { export_folder_ = folder; }
  // Loads the reference traces kept in the data folder.
  void loadReferences() { references_->load(); }

  // Holds the picture while datagrams are still read and recorded, or lets it go live again.
  void setFrozen(bool frozen);
  // While frozen or paused: shows the datagram delta steps later (earlier when negative).
  void step(int delta) { moved(playback_.step(delta)); }
  // While frozen or paused: shows the moment of the datagram at index of the recorder.
  void showMoment(size_t index) { moved(playback_.showMoment(index)); }

  // Captures the spectrum shown as a reference trace; false when eight are kept already.
  bool captureReference() { return references_->capture(shown().model); }
  void clearReferences() { references_->clear(); }
  void renameReference(int index, const std::string& name) { references_->rename(index, name); }
  void removeReference(int index) { references_->remove(index); }
  void setReferenceShown(int index, bool shown) { references_->setShown(index, shown); }

  void setView(View view);
  void setSpectrogramFloor(int floor);

  // Writes the frame's CSV, or the window's picture at its size and pixel ratio, to path.
  bool exportCsv(const QString& path) const;
  bool savePicture(const QString& path);
  // Records every meter datagram that comes to path, until stopped.
  bool startRecording(const QString& path) { return recording_.start(path); }
  // Ends the recording; false when any of it could not be written.
  bool stopRecording() { return recording_.stop(); }
  bool isRecording() const { return recording_.isOn(); }
  // Writes the show recorder's last minutes to path as a recording.
  bool saveShow(const QString& path, int minutes) const;
  // Shows the recording at path at its recorded pace instead of a console; false with the
  // reason in error when it cannot be read.
  bool startReplay(const QString& path, QString* error);
  bool isReplayPaused() const { return playback_.isReplayPaused(); }
  void setReplayPaused(bool paused);

  // Replaces the clock of the display (microseconds, monotonic); for tests.
  void setClock(std::function<Micros()> clock) { playback_.setClock(std::move(clock)); }

  // Takes one meter datagram of length bytes as if the link had just read it: one shorter than
  // the RTA block is counted and not drawn.
  void showDatagram(const unsigned char* data, int length);

  // Restores the window geometry and the display settings, and saves them.
  void loadSettings(QSettings& settings);
  void saveSettings(QSettings& settings) const;

  // Turns on max hold, slow averaging and the dark theme and shows the readout of the 1 kHz
  // band, as when measuring the cost of everything at once; show adds the spectrogram with the
  // bars and two reference traces.
  void showAllFeatures(bool show = false);

  // After the run has ended, waits up to ms for the link's thread; true when it has stopped.
  bool waitLinkStopped(int ms) { return session_->waitStopped(ms); }
  // The link's news, for the web view too.
  LinkSession& linkSession() { return *session_; }
  // The web view's address, which the web_address action shows; empty when there is none.
  void setWebAddress(const QString& url) { web_address_ = url; }

  // The actions of the keys and the context menu; the menu opened at global, and the key list.
  WindowActions& actions() { return *actions_; }
  QMenu* openContextMenu(const QPoint& global);
  void showKeys();
  bool keysShown() const;

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
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void onConnectClicked();
  void take(const MeterDatagram& d);
  void frame();
  void playReplay();
  void run(Command c);
  bool isChecked(Command c) const;
  void notify(const QString& text);
  // After the picture moved to another moment: the timeline and a whole repaint.
  void moved(bool changed);
  void updateTimeline();
  void repaintWhole();
  StatusState statusState() const;
  void fail(const std::string& step, int result);
  void stop();
  void setDark(bool dark);
  void setHover(int band);

  // The run: until closed or ended by a second press; connected once the link is up.
  bool running_ = true;
  bool connected_ = false;
  // The meter subscription: UDP port, collection id and the selection of the RTA block.
  int meter_port_ = mixlink::kDefaultMeterPort;
  int meter_id_ = 3;
  unsigned char meter_bits_[32] = {};

  QPushButton* connect_button_ = nullptr;
  QLineEdit* address_box_ = nullptr;
  SpectrumView* spectrum_ = nullptr;
  StatusView* status_ = nullptr;
  QSlider* timeline_ = nullptr;  // while frozen or paused: the moment shown
  KeyOverlay* keys_ = nullptr;
  QWidget* reference_list_ = nullptr;
  std::unique_ptr<WindowActions> actions_;

  Playback playback_;
  LinkSession* session_ = nullptr;
  FramePacer* pacer_ = nullptr;
  QTimer* replay_timer_ = nullptr;
  ReferenceStore* references_ = nullptr;
  RecordingFile recording_;
  QString export_folder_;
  QString web_address_;

  View view_ = View::bars;
  int floor_ = 0;
  Theme theme_;
  QPalette light_palette_;
  QString notice_;
  Micros notice_until_ = 0;  // steady clock
  int hover_band_ = -1;
  QPoint hover_pos_;  // logical pixels
};

}  // namespace bandscope
