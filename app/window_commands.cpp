// SPDX-License-Identifier: MIT
// What the window does on its actions: the commands of the action table, freezing and the
// timeline, replays, exports, notices in the status, and the settings.
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QTimer>

#include "window.h"

namespace bandscope {

namespace {

// Settings keys.
const QString kGeometryKey = QStringLiteral("window/geometry");
const QString kDarkKey = QStringLiteral("display/dark");
const QString kAveragingKey = QStringLiteral("display/averaging");
const QString kMaxHoldKey = QStringLiteral("display/maxHold");
const QString kViewKey = QStringLiteral("display/view");
const QString kFloorKey = QStringLiteral("display/spectrogramFloor");
const QString kHiddenKey = QStringLiteral("references/hidden");

// A notice (a file saved, a recording begun) stands in the status area this long.
constexpr Micros kNoticeTime = 4 * kSecond;
// The spectrogram floor moves in steps of this many pixels of the 128-pixel scale.
constexpr int kFloorStep = 8;
constexpr int kFloorMost = kBarAreaHeight - kFloorStep;

QPalette darkPalette(const Theme& t) {
  QPalette pal;
  const QColor text(225, 225, 225);
  for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) pal.setColor(role, text);
  pal.setColor(QPalette::Window, t.background);
  pal.setColor(QPalette::AlternateBase, t.background);
  pal.setColor(QPalette::Base, QColor(25, 25, 27));
  pal.setColor(QPalette::Button, QColor(58, 58, 62));
  pal.setColor(QPalette::Highlight, QColor(60, 110, 190));
  pal.setColor(QPalette::HighlightedText, Qt::white);
  return pal;
}

QString savedOrNot(bool saved, const QString& path) {
  return (saved ? QStringLiteral("Saved ") : QStringLiteral("Cannot write ")) + path;
}

}  // namespace

void BandscopeWindow::run(Command c) {
  DisplayModel& live = playback_.live().model;
  switch (c) {
    case Command::full_screen: isFullScreen() ? showNormal() : showFullScreen(); break;
    case Command::leave:
      if (keys_->isVisible()) {
        keys_->hide();
        setFocus();  // the keys stay with the window, not with the address box
      } else if (isFullScreen()) {
        showNormal();
      }
      break;
    case Command::theme: setDark(!theme_.dark); break;
    case Command::next_view:
      setView(view_ == View::bars ? View::spectrogram : view_ == View::spectrogram ? View::both : View::bars);
      break;
    case Command::floor_down: setSpectrogramFloor(floor_ - kFloorStep); break;
    case Command::floor_up: setSpectrogramFloor(floor_ + kFloorStep); break;
    case Command::max_hold: live.setMaxHold(!live.maxHold()); break;
    case Command::reset_peaks: live.resetPeaks(); break;
    case Command::averaging: live.cycleAveraging(); break;
    case Command::freeze: setFrozen(!(isFrozen() || isReplayPaused())); break;
    case Command::step_back: step(-1); break;
    case Command::step_on: step(1); break;
    case Command::capture_reference:
      if (!captureReference())
        notify(QStringLiteral("%1 references kept: delete one first (L lists them)").arg(kMaxReferences));
      break;
    case Command::clear_references: clearReferences(); break;
    case Command::list_references:
      if (reference_list_ == nullptr) reference_list_ = new ReferenceList(references_, this);
      reference_list_->show();
      reference_list_->raise();
      break;
    case Command::export_csv: {
      const QString path = newFileIn(export_folder_, QStringLiteral("csv"));
      notify(savedOrNot(exportCsv(path), path));
      break;
    }
    case Command::save_picture: {
      const QString path = newFileIn(export_folder_, QStringLiteral("png"));
      notify(savedOrNot(savePicture(path), path));
      break;
    }
    case Command::record: {
      if (isRecording()) {
        notify((stopRecording() ? QStringLiteral("Recorded ") : QStringLiteral("Cannot write ")) + recording_.path());
        break;
      }
      const QString path = newFileIn(export_folder_, QStringLiteral("pcap"));
      notify((startRecording(path) ? QStringLiteral("Recording to ") : QStringLiteral("Cannot write ")) + path);
      break;
    }
    case Command::save_show: {
      bool ok = false;
      const int minutes = QInputDialog::getInt(this, QStringLiteral("Save the show"),
                                               QStringLiteral("Save the last minutes (1 to 60):"), 10, 1, 60, 1, &ok);
      if (!ok) break;
      const QString path = newFileIn(export_folder_, QStringLiteral("pcap"));
      notify(savedOrNot(saveShow(path, minutes), path));
      break;
    }
    case Command::show_keys: showKeys(); break;
    case Command::web_address:
      if (web_address_.isEmpty()) {
        notify(QStringLiteral("No web view: start bandscope with --serve ADDR:PORT"));
        break;
      }
      QGuiApplication::clipboard()->setText(web_address_);
      notify(QStringLiteral("Web view at ") + web_address_ + QStringLiteral(" (copied)"));
      break;
  }
  pacer_->schedule();
}

bool BandscopeWindow::isChecked(Command c) const {
  switch (c) {
    case Command::full_screen: return isFullScreen();
    case Command::theme: return theme_.dark;
    case Command::max_hold: return model().maxHold();
    case Command::freeze: return isFrozen() || isReplayPaused();
    case Command::record: return isRecording();
    default: return false;
  }
}

void BandscopeWindow::showKeys() {
  keys_->setGeometry(rect());
  keys_->show();
  keys_->raise();
  keys_->setFocus();
}

bool BandscopeWindow::keysShown() const { return keys_->isVisible(); }

// Freezing, the timeline and replays.

void BandscopeWindow::setFrozen(bool frozen) {
  if (playback_.isReplay()) {
    setReplayPaused(frozen);
    return;
  }
  if (frozen == playback_.isFrozen()) return;
  playback_.setFrozen(frozen);
  updateTimeline();
  repaintWhole();
}

void BandscopeWindow::moved(bool changed) {
  if (!changed) return;
  updateTimeline();
  repaintWhole();
  status_->update();
}

void BandscopeWindow::updateTimeline() {
  const Timeline t = playback_.timeline();
  timeline_->setVisible(t.shown);
  if (!t.shown) return;
  const QSignalBlocker quiet(timeline_);
  timeline_->setRange(0, t.range);
  timeline_->setValue(t.value);
  timeline_->raise();
}

bool BandscopeWindow::startReplay(const QString& path, QString* error) {
  std::vector<MeterDatagram> datagrams;
  QString warning;
  if (!readRecordingFile(path, &datagrams, error, &warning)) return false;
  if (!warning.isEmpty()) notify(warning);
  connect_button_->setEnabled(false);
  address_box_->setEnabled(false);
  address_box_->setText(QStringLiteral("replay"));
  playback_.startReplay(datagrams);
  setReplayPaused(false);
  return true;
}

void BandscopeWindow::setReplayPaused(bool paused) {
  if (!playback_.isReplay()) return;
  playback_.setReplayPaused(paused);
  if (paused) replay_timer_->stop();
  else playReplay();
  updateTimeline();
  status_->update();
  pacer_->schedule();
}

// Exports.

bool BandscopeWindow::exportCsv(const QString& path) const {
  return writeFile(path, QByteArray::fromStdString(frameCsv(shown(), references())));
}

bool BandscopeWindow::savePicture(const QString& path) { return grab().save(path, "PNG"); }

bool BandscopeWindow::saveShow(const QString& path, int minutes) const {
  const ShowRecorder& r = playback_.recorder();
  if (r.empty() || playback_.isReplay()) return false;
  const Micros from = r[r.size() - 1].at - minutes * 60 * kSecond;
  const std::vector<unsigned char> bytes = r.recording(r.indexAt(from), kRecordedPort);
  return writeFile(path, QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
}

// The status and notices.

StatusState BandscopeWindow::statusState() const {
  const Status s = playback_.status(playback_.now());
  // Trouble with the link is never hidden behind a notice.
  const bool notice = notice_until_ > steadyMicros() && s.kind != Status::stale && s.kind != Status::lost;
  return {s, notice ? notice_ : QString(), theme_};
}

QString BandscopeWindow::statusLine() const {
  const StatusState s = statusState();
  return s.notice.isEmpty() ? QString::fromStdString(statusText(s.status)) : s.notice;
}

void BandscopeWindow::notify(const QString& text) {
  notice_ = text;
  notice_until_ = steadyMicros() + kNoticeTime;
  status_->update();
  QTimer::singleShot(static_cast<int>(kNoticeTime / 1000) + 10, status_, [this] { status_->update(); });
}

// Views and the theme.

void BandscopeWindow::setView(View view) {
  view_ = view;
  spectrum_->requestWhole();
}

void BandscopeWindow::setSpectrogramFloor(int floor) {
  floor_ = std::clamp(floor, 0, kFloorMost);
  spectrum_->requestWhole();
}

void BandscopeWindow::setDark(bool dark) {
  theme_ = dark ? darkTheme() : lightTheme(light_palette_.color(QPalette::Window));
  setPalette(dark ? darkPalette(theme_) : light_palette_);
  update();
  spectrum_->requestWhole();
  status_->update();
}

void BandscopeWindow::showAllFeatures(bool show) {
  playback_.live().model.setMaxHold(true);
  playback_.live().model.setAveraging(Averaging::slow);
  setDark(true);
  if (show) {
    setView(View::both);
    // Two references of a made-up spectrum, one falling and one rising across the bands.
    for (int k = 0; k < 2; ++k) {
      Reference r;
      r.name = k == 0 ? "falling" : "rising";
      for (int i = 0; i < kBarCount; ++i) r.values[static_cast<size_t>(i)] = -2000.0 - 20.0 * (k == 0 ? i : kBarCount - i);
      references_->add(r);
    }
  }
  const Layout layout(width(), height(), 1.0, view_);
  hover_band_ = bandNearestTo(1000.0);
  hover_pos_ = QPoint((layout.barLeft(hover_band_) + layout.barRight(hover_band_)) / 2, (layout.top + layout.bottom) / 2);
}

// Settings.

void BandscopeWindow::loadSettings(QSettings& settings) {
  const QByteArray geometry = settings.value(kGeometryKey).toByteArray();
  if (!geometry.isEmpty()) restoreGeometry(geometry);
  setDark(settings.value(kDarkKey, false).toBool());
  DisplayModel& live = playback_.live().model;
  const int averaging = settings.value(kAveragingKey, 0).toInt();
  if (averaging >= 0 && averaging <= static_cast<int>(Averaging::slow)) live.setAveraging(static_cast<Averaging>(averaging));
  live.setMaxHold(settings.value(kMaxHoldKey, false).toBool());
  const int view = settings.value(kViewKey, 0).toInt();
  if (view >= 0 && view <= static_cast<int>(View::both)) setView(static_cast<View>(view));
  setSpectrogramFloor(settings.value(kFloorKey, 0).toInt());
  references_->hide(settings.value(kHiddenKey).toStringList());
}

void BandscopeWindow::saveSettings(QSettings& settings) const {
  settings.setValue(kGeometryKey, saveGeometry());
  settings.setValue(kDarkKey, theme_.dark);
  settings.setValue(kAveragingKey, static_cast<int>(model().averaging()));
  settings.setValue(kMaxHoldKey, model().maxHold());
  settings.setValue(kViewKey, static_cast<int>(view_));
  settings.setValue(kFloorKey, floor_);
  settings.setValue(kHiddenKey, references_->hiddenNames());
}

}  // namespace bandscope
