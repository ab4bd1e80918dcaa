// SPDX-License-Identifier: MIT
#include "window.h"

#include "pane.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPaintEngine>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>
#include <cstring>

#include <mixlink/protocol.h>

namespace bandscope {

namespace {

constexpr QRect kConnectRect{5, 15, 85, 20};
constexpr QRect kAddressRect{95, 15, 120, 20};
// The status pane spans the controls row right of the address box (which ends at x = 215).
constexpr int kStatusPaneLeft = 220;
// An IPv4 address in dotted text is at most 15 characters.
constexpr int kAddressMaxLength = 15;
// The hover readout's figures are renewed this often.
constexpr Micros kReadoutRefresh = 500000;
// Paints follow the screen's refresh; this rate stands in when the screen does not say.
constexpr double kDefaultRefreshHz = 60.0;

const QString kConnectText = QStringLiteral("Connect");
const QString kConnectingText = QStringLiteral("Connecting...");

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
// The timeline moves in tenths of a second; its height, in logical pixels, over the axis row.
constexpr Micros kTimelineStep = kSecond / 10;
constexpr int kTimelineHeight = 16;
// Recordings name the meter port their datagrams came to.
constexpr int kMeterPort = mixlink::kDefaultMeterPort;
// A replay wakes at least this often while it plays, to move its status on.
constexpr int kReplayTickMs = 250;

// "m:ss" of a span of time.
std::string minutesText(Micros span) {
  const long long s = std::max<Micros>(0, span) / kSecond;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  return text;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() && f.flush();
}

QPalette darkPalette(const Theme& t) {
  QPalette pal;
  const QColor text(225, 225, 225);
  pal.setColor(QPalette::Window, t.background);
  pal.setColor(QPalette::WindowText, text);
  pal.setColor(QPalette::Base, QColor(25, 25, 27));
  pal.setColor(QPalette::AlternateBase, t.background);
  pal.setColor(QPalette::Text, text);
  pal.setColor(QPalette::Button, QColor(58, 58, 62));
  pal.setColor(QPalette::ButtonText, text);
  pal.setColor(QPalette::Highlight, QColor(60, 110, 190));
  pal.setColor(QPalette::HighlightedText, Qt::white);
  return pal;
}

Micros microsToMs(Micros us) { return (us + 999) / 1000; }

}  // namespace

BandscopeWindow::BandscopeWindow(const QString& address, QWidget* parent) : QWidget(parent) {
  mbits[mixlink::kRtaBitmapRow] = mixlink::kRtaBitmapBit;
  wall_offset_ = QDateTime::currentMSecsSinceEpoch() * 1000 - steadyMicros();

  setWindowTitle(QString::fromLatin1(kWindowTitle));
  setObjectName("BANDSCOPE");
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                 Qt::WindowCloseButtonHint);
  // The classic client area is where the window starts and the least it shrinks to.
  setMinimumSize(kClassicWidth, kClassicHeight);
  resize(kClassicWidth, kClassicHeight);
  // The position is the outer window's, as a desktop places it.
  move(kWindowX, kWindowY);
  setCursor(Qt::ArrowCursor);
  setMouseTracking(true);
  // A click on the bars takes the keys from the address box.
  setFocusPolicy(Qt::ClickFocus);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Button));
  setPalette(pal);
  light_palette_ = pal;
  theme_ = lightTheme(pal.color(QPalette::Window));
  setAutoFillBackground(true);

  spectrum_ = new Pane(this, [this](QPainter& p, const QRegion& r) { paintSpectrum(p, r); });
  status_ = new Pane(this, [this](QPainter& p, const QRegion&) { paintStatusPane(p); });
  spectrum_->setObjectName(QStringLiteral("spectrum"));
  status_->setObjectName(QStringLiteral("status"));
  spectrum_->setGeometry(0, kControlsHeight, kClassicWidth, kClassicHeight - kControlsHeight);
  status_->setGeometry(kStatusPaneLeft, 0, kClassicWidth - kStatusPaneLeft, kControlsHeight);

  hwndconx = new QPushButton(kConnectText, this);
  hwndconx->setGeometry(kConnectRect);
  // Space freezes the picture: it must never press the button, which would end the run.
  hwndconx->setFocusPolicy(Qt::NoFocus);
  // Only a full click is a press; pressed/released alone are not.
  connect(hwndconx, &QPushButton::clicked, this, &BandscopeWindow::onConnectClicked);

  hwndipaddr = new QLineEdit(this);
  hwndipaddr->setGeometry(kAddressRect);
  hwndipaddr->setMaxLength(kAddressMaxLength);
  hwndipaddr->setText(address);

  const QScreen* s = screen();
  const double hz = s != nullptr && s->refreshRate() >= 1.0 ? s->refreshRate() : kDefaultRefreshHz;
  frame_interval_us_ = static_cast<Micros>(kSecond / hz);
  frame_timer_ = new QTimer(this);
  frame_timer_->setSingleShot(true);
  frame_timer_->setTimerType(Qt::PreciseTimer);
  connect(frame_timer_, &QTimer::timeout, this, &BandscopeWindow::frame);
  status_timer_ = new QTimer(this);
  status_timer_->setSingleShot(true);
  status_timer_->setTimerType(Qt::PreciseTimer);
  connect(status_timer_, &QTimer::timeout, this, [this] {
    if (shown().model.live(shownNow()) != shown_live_ || statusLine() != shown_status_text_) {
      scheduleFrame();
    } else {
      armStatusTimer(clock_());  // datagrams moved the change on since the timer was set
    }
  });

  timeline_ = new QSlider(Qt::Horizontal, this);
  timeline_->setObjectName(QStringLiteral("timeline"));
  timeline_->setFocusPolicy(Qt::NoFocus);
  timeline_->hide();
  connect(timeline_, &QSlider::valueChanged, this,
          [this](int v) { showMoment(recorder().indexAt(timeline_from_ + v * kTimelineStep)); });
  replay_timer_ = new QTimer(this);
  replay_timer_->setSingleShot(true);
  replay_timer_->setTimerType(Qt::PreciseTimer);
  connect(replay_timer_, &QTimer::timeout, this, &BandscopeWindow::playReplay);

  // Window-wide keys, whichever control has the focus.
  auto shortcut = [this](const QKeySequence& keys, auto act) {
    connect(new QShortcut(keys, this), &QShortcut::activated, this, act);
  };
  shortcut(QKeySequence(Qt::CTRL | Qt::Key_E), [this] {
    const QString path = defaultPath(QStringLiteral("csv"));
    notify((exportCsv(path) ? QStringLiteral("Saved ") : QStringLiteral("Cannot write ")) + path);
  });
  shortcut(QKeySequence(Qt::CTRL | Qt::Key_S), [this] {
    const QString path = defaultPath(QStringLiteral("png"));
    notify((savePicture(path) ? QStringLiteral("Saved ") : QStringLiteral("Cannot write ")) + path);
  });
  shortcut(QKeySequence(Qt::CTRL | Qt::Key_R), [this] {
    if (isRecording()) {
      const QString path = recording_path_;
      stopRecording();
      notify(QStringLiteral("Recorded ") + path);
      return;
    }
    const QString path = defaultPath(QStringLiteral("pcap"));
    notify((startRecording(path) ? QStringLiteral("Recording to ") : QStringLiteral("Cannot write ")) + path);
  });
  shortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S), [this] {
    bool ok = false;
    const int minutes = QInputDialog::getInt(this, QStringLiteral("Save the show"),
                                             QStringLiteral("Save the last minutes (1 to 60):"), 10, 1, 60, 1, &ok);
    if (!ok) return;
    const QString path = defaultPath(QStringLiteral("pcap"));
    notify((saveShow(path, minutes) ? QStringLiteral("Saved ") : QStringLiteral("Cannot write ")) + path);
  });
}

BandscopeWindow::~BandscopeWindow() {
  // The thread must be gone before the window it posts to.
  worker_.reset();
  stopRecording();
}

void BandscopeWindow::onConnectClicked() {
  if (keep_running == 0) return;
  if (ready == 1) {
    stop();
    emit finished(0);
    return;
  }
  if (worker_ != nullptr) return;  // still connecting

  // A typed address is used as it stands; an empty box makes the link discover the console.
  const std::string typed = hwndipaddr->text().trimmed().toLatin1().toStdString();
  hwndconx->setText(kConnectingText);
  live_.model.setLink(Link::connecting, clock_());
  // Mail is taken when the next frame is due, not on every wake: the worker wakes the window
  // only when its mailbox was empty, so however many datagrams come, the window wakes about once
  // a frame.
  worker_ = std::make_unique<LinkWorker>(
      [this] { QMetaObject::invokeMethod(this, &BandscopeWindow::scheduleFrame, Qt::QueuedConnection); });
  worker_->setBetweenCalls(taps_.on_link_thread);
  worker_->start(typed, M_port, M_id, mbits);
}

void BandscopeWindow::takeMail() {
  if (worker_ == nullptr || keep_running == 0) return;
  LinkWorker::Mail mail = worker_->take();
  if (mail.outcome) {
    if (!mail.outcome->connected) {
      fail(mail.outcome->step, mail.outcome->result);
      return;
    }
    ready = 1;
    hwndconx->setText(kConnectText);
    hwndipaddr->setText(QString::fromStdString(mail.outcome->address));
  }
  for (const LinkWorker::LinkChange& c : mail.changes) {
    live_.model.setLink(c.link, c.at);
    if (taps_.link) taps_.link(c.link);
  }
  for (const LinkWorker::Datagram& d : mail.datagrams) {
    take(d);
    if (taps_.datagram) taps_.datagram(d);
    if (unshown_since_ < 0) unshown_since_ = d.at;
  }
  stats_.datagrams += static_cast<int64_t>(mail.datagrams.size());
  stats_.skipped = mail.skipped;
  live_.model.setDroppedForeign(mail.dropped_foreign);
}

void BandscopeWindow::take(const MeterDatagram& datagram) {
  int16_t values[kBarCount];
  valuesOf(datagram, values);
  live_.add(values, datagram.at);
  if (replay_) return;  // a replay's datagrams are its own history
  MeterDatagram d = datagram;
  d.wall = d.at + wall_offset_;
  recorder_.add(d);
  if (recording_file_ != nullptr) {
    const std::vector<unsigned char> r = recordingRecord(d, kMeterPort);
    if (std::fwrite(r.data(), 1, r.size(), recording_file_) != r.size()) {
      const QString path = recording_path_;
      stopRecording();
      notify(QStringLiteral("Recording stopped: cannot write ") + path);
    }
  }
}

void BandscopeWindow::showDatagram(const unsigned char* data, int length) {
  std::memcpy(buf_, data, static_cast<size_t>(std::clamp(length, 0, static_cast<int>(sizeof buf_))));
  MeterDatagram d;
  d.at = clock_();
  d.source = 0x7F000001;
  d.length = std::clamp(length, 0, kMeterBytes);
  std::memcpy(d.bytes.data(), buf_, d.bytes.size());
  take(d);
  ++stats_.datagrams;
  if (unshown_since_ < 0) unshown_since_ = steadyMicros();
  scheduleFrame();
}

void BandscopeWindow::fail(const std::string& step, int result) {
  std::fprintf(stderr, "bandscope: %s (%d)\n", step.c_str(), result);
  std::fflush(stderr);
  stop();
  emit finished(1);
}

void BandscopeWindow::stop() {
  keep_running = 0;
  if (worker_ != nullptr) worker_->requestStop();
  frame_timer_->stop();
  status_timer_->stop();
  replay_timer_->stop();
  replay_running_ = false;
}

bool BandscopeWindow::waitLinkStopped(int ms) { return worker_ == nullptr || worker_->waitStopped(ms); }

void BandscopeWindow::scheduleFrame() {
  if (frame_timer_->isActive()) return;
  const Micros since = steadyMicros() - last_paint_;
  if (since >= frame_interval_us_) {
    frame();  // its paints are posted, so several calls before they run still make one
  } else {
    frame_timer_->start(static_cast<int>(microsToMs(frame_interval_us_ - since)));
  }
}

void BandscopeWindow::frame() {
  takeMail();
  // A readout due for new figures may change its size: the whole pane is painted again.
  if (hover_band_ >= 0 && steadyMicros() - readout_made_ >= kReadoutRefresh) spectrum_whole_ = true;
  if (spectrum_whole_) {
    spectrum_->update();
  } else {
    bars_update_ = barColumnsRect();
    spectrum_->update(bars_update_);
  }
  if (statusLine() != shown_status_text_) status_->update();
  // A recording cut by a crash keeps what came up to the last frame.
  if (recording_file_ != nullptr) std::fflush(recording_file_);
}

void BandscopeWindow::armStatusTimer(Micros now) {
  // While frozen the link's status still moves on ("Frozen - No meter data for 3 s").
  const Micros next = keep_running != 0 ? live_.model.nextStatusChange(now) : -1;
  if (next < 0) {
    status_timer_->stop();
    return;
  }
  // Each datagram moves the change later; a timer that fires before it finds nothing to paint
  // and is armed again, which costs less than setting it anew at every frame.
  if (status_timer_->isActive() && status_due_ <= next) return;
  status_due_ = next;
  status_timer_->start(static_cast<int>(microsToMs(std::max<Micros>(0, next - now))));
}

double BandscopeWindow::beginPanePaint(QPainter& painter, const QWidget* pane) const {
  // Everything is laid out in device pixels of the whole window, so edges fall on whole pixels
  // at any ratio and both panes share one layout.
  const double dpr = painter.deviceTransform().m11();
  painter.scale(1.0 / dpr, 1.0 / dpr);
  painter.translate(-std::lround(pane->x() * dpr), -std::lround(pane->y() * dpr));
  return dpr;
}

Layout BandscopeWindow::layoutAt(double dpr) const {
  return Layout(static_cast<int>(std::lround(width() * dpr)), static_cast<int>(std::lround(height() * dpr)), dpr,
                view_);
}

QRect BandscopeWindow::barColumnsRect() const {
  const double dpr = spectrum_->devicePixelRatioF();
  const Layout l = layoutAt(dpr);
  const int pane_top = static_cast<int>(std::lround(spectrum_->y() * dpr));
  const int top = std::min(l.top, l.spectrogram_top);
  return QRect(QPoint(static_cast<int>(std::floor(l.left / dpr)), static_cast<int>(std::floor((top - pane_top) / dpr))),
               QPoint(static_cast<int>(std::ceil(l.right / dpr)) - 1,
                      static_cast<int>(std::ceil((l.bottom - pane_top) / dpr)) - 1));
}

void BandscopeWindow::paintSpectrum(QPainter& painter, const QRegion& region) {
  const double dpr = beginPanePaint(painter, spectrum_);
  const Layout layout = layoutAt(dpr);
  const Micros now = shownNow();
  const ShowState& show = shown();
  const DisplayModel& model = show.model;

  // Frames repaint only the bar columns: everything drawn from the model stays inside them, and
  // the pane keeps the rest of the last paint. Anything else (an expose, a resize, the theme,
  // a moved readout) paints the whole pane from the backdrop.
  bool whole = spectrum_whole_ || region != QRegion(bars_update_);
  spectrum_whole_ = false;

  // What changes only with the size and the theme is drawn once into the backdrop.
  if (backdrop_.size() != QSize(layout.width, layout.height) || backdrop_dpr_ != dpr ||
      backdrop_dark_ != theme_.dark || backdrop_view_ != view_) {
    whole = true;
    // In the format of the surface painted on, so that showing it is a plain copy.
    const QPaintDevice* surface = painter.paintEngine()->paintDevice();
    const QImage::Format format = surface != nullptr && surface->devType() == QInternal::Image
                                      ? static_cast<const QImage*>(surface)->format()
                                      : QImage::Format_ARGB32_Premultiplied;
    backdrop_ = QImage(layout.width, layout.height, format);
    QPainter b(&backdrop_);
    const QFont labels = labelFont(layout.label_pixels);
    b.fillRect(backdrop_.rect(), theme_.background);
    paintScale(b, layout, theme_, labels);
    paintAxis(b, layout, theme_, labels);
    backdrop_dpr_ = dpr;
    backdrop_dark_ = theme_.dark;
    backdrop_view_ = view_;
  }
  if (whole) painter.drawImage(0, 0, backdrop_);
  shown_live_ = model.live(now);
  if (model.hasValues()) {
    paintSpectrogram(painter, layout, theme_, show.spectrogram, floor_, shown_live_, &spectrogram_image_);
    paintBars(painter, layout, theme_, model, shown_live_);
    paintReferences(painter, layout, references_);
    paintRinging(painter, layout, theme_, show.sentinel, shown_live_);
  } else if (std::any_of(references_.begin(), references_.end(), [](const Reference& r) { return r.shown; })) {
    paintReferences(painter, layout, references_);
  }
  if (hover_band_ >= 0 && model.hasValues()) {
    // Figures that changed at every frame could not be read; twice a second they can.
    const Micros made = steadyMicros();
    if (readout_.isNull() || readout_band_ != hover_band_ || readout_dpr_ != dpr || readout_dark_ != theme_.dark ||
        (whole && made - readout_made_ >= kReadoutRefresh)) {
      readout_ = readoutBox(readoutLines(model, hover_band_, now), theme_, textFontAt(dpr, false), dpr);
      readout_band_ = hover_band_;
      readout_dpr_ = dpr;
      readout_dark_ = theme_.dark;
      readout_made_ = made;
    }
    painter.drawImage(readoutPlace(layout, readout_.size(), static_cast<int>(std::lround(hover_pos_.x() * dpr)),
                                   static_cast<int>(std::lround(hover_pos_.y() * dpr))),
                      readout_);
  }
  painter.end();

  last_paint_ = steadyMicros();
  ++stats_.paints;
  if (unshown_since_ >= 0) {
    const Micros latency = last_paint_ - unshown_since_;
    ++stats_.frames;
    stats_.latency_sum_us += latency;
    stats_.latency_max_us = std::max(stats_.latency_max_us, latency);
    unshown_since_ = -1;
  }
  armStatusTimer(now);
}

void BandscopeWindow::paintStatusPane(QPainter& painter) {
  const double dpr = beginPanePaint(painter, status_);
  const Layout layout = layoutAt(dpr);
  shown_status_text_ = statusLine();
  painter.fillRect(QRect(static_cast<int>(std::lround(status_->x() * dpr)), 0, layout.width,
                         static_cast<int>(std::lround(kControlsHeight * dpr))),
                   theme_.background);
  Status s = currentStatus(clock_());
  if (notice_until_ > steadyMicros() && s.kind != Status::stale && s.kind != Status::lost) {
    paintStatus(painter, layout, theme_, s, textFontAt(dpr, true), notice_);
  } else {
    paintStatus(painter, layout, theme_, s, textFontAt(dpr, true));
  }
}

const QFont& BandscopeWindow::textFontAt(double dpr, bool bold) {
  if (text_font_dpr_ != dpr) {
    // The controls' font, in device pixels.
    const int pixels = static_cast<int>(std::lround(QFontInfo(font()).pixelSize() * dpr));
    text_font_ = textFont(font(), pixels, false);
    status_font_ = textFont(font(), pixels, true);
    text_font_dpr_ = dpr;
  }
  return bold ? status_font_ : text_font_;
}

void BandscopeWindow::resizeEvent(QResizeEvent* event) {
  spectrum_->setGeometry(0, kControlsHeight, width(), height() - kControlsHeight);
  status_->setGeometry(kStatusPaneLeft, 0, width() - kStatusPaneLeft, kControlsHeight);
  timeline_->setGeometry(0, height() - kTimelineHeight, width(), kTimelineHeight);
  QWidget::resizeEvent(event);
}

void BandscopeWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  if (keep_running == 0) return;
  stop();
  emit finished(0);
}

void BandscopeWindow::keyPressEvent(QKeyEvent* event) {
  // Plain keys only: Ctrl+A and the like stay with whoever wants them.
  if ((event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier)) != 0) {
    QWidget::keyPressEvent(event);
    return;
  }
  switch (event->key()) {
    case Qt::Key_F11:
      if (isFullScreen()) {
        showNormal();
      } else {
        showFullScreen();
      }
      break;
    case Qt::Key_Escape:
      if (!isFullScreen()) {
        QWidget::keyPressEvent(event);
        return;
      }
      showNormal();
      break;
    case Qt::Key_M: live_.model.setMaxHold(!live_.model.maxHold()); break;
    case Qt::Key_P: live_.model.resetPeaks(); break;
    case Qt::Key_A: live_.model.cycleAveraging(); break;
    case Qt::Key_T: setDark(!theme_.dark); break;
    case Qt::Key_Space:
      if (replay_) {
        setReplayPaused(replay_running_);
      } else {
        setFrozen(!frozen_);
      }
      break;
    case Qt::Key_Left: step(-1); break;
    case Qt::Key_Right: step(1); break;
    case Qt::Key_R:
      if ((event->modifiers() & Qt::ShiftModifier) != 0) {
        clearReferences();
      } else if (!captureReference()) {
        notify(QStringLiteral("%1 references kept: delete one first (L lists them)").arg(kMaxReferences));
      }
      break;
    case Qt::Key_L: showReferenceList(); break;
    case Qt::Key_V:
      setView(view_ == View::bars ? View::spectrogram : view_ == View::spectrogram ? View::both : View::bars);
      break;
    case Qt::Key_BracketLeft: setSpectrogramFloor(floor_ - kFloorStep); break;
    case Qt::Key_BracketRight: setSpectrogramFloor(floor_ + kFloorStep); break;
    default: QWidget::keyPressEvent(event); return;
  }
  scheduleFrame();
}

void BandscopeWindow::mouseMoveEvent(QMouseEvent* event) {
  hover_pos_ = event->position().toPoint();
  const double dpr = devicePixelRatioF();
  const Layout layout = layoutAt(dpr);
  const int x = static_cast<int>(std::lround(hover_pos_.x() * dpr));
  const int y = static_cast<int>(std::lround(hover_pos_.y() * dpr));
  const int band = y >= layout.top && y < layout.bottom ? layout.bandAt(x) : -1;
  if (band != hover_band_ || band >= 0) {
    hover_band_ = band;
    spectrum_whole_ = true;  // the readout moves
    scheduleFrame();
  }
  QWidget::mouseMoveEvent(event);
}

void BandscopeWindow::leaveEvent(QEvent* event) {
  if (hover_band_ >= 0) {
    hover_band_ = -1;
    spectrum_whole_ = true;  // the readout goes
    scheduleFrame();
  }
  QWidget::leaveEvent(event);
}

void BandscopeWindow::setDark(bool dark) {
  theme_ = dark ? darkTheme() : lightTheme(light_palette_.color(QPalette::Window));
  setPalette(dark ? darkPalette(theme_) : light_palette_);
  update();
  spectrum_->update();
  status_->update();
}

void BandscopeWindow::showAllFeatures(bool show) {
  live_.model.setMaxHold(true);
  live_.model.setAveraging(Averaging::slow);
  setDark(true);
  if (show) {
    setView(View::both);
    // Two references of a made-up spectrum, one falling and one rising across the bands.
    for (int k = 0; k < 2; ++k) {
      Reference r;
      r.name = k == 0 ? "falling" : "rising";
      for (int i = 0; i < kBarCount; ++i) r.values[static_cast<size_t>(i)] = -2000.0 - 20.0 * (k == 0 ? i : kBarCount - i);
      references_.push_back(r);
    }
  }
  const Layout layout(width(), height(), 1.0, view_);
  hover_band_ = bandNearestTo(1000.0);
  hover_pos_ = QPoint((layout.barLeft(hover_band_) + layout.barRight(hover_band_)) / 2, (layout.top + layout.bottom) / 2);
}

void BandscopeWindow::loadSettings(QSettings& settings) {
  const QByteArray geometry = settings.value(kGeometryKey).toByteArray();
  if (!geometry.isEmpty()) restoreGeometry(geometry);
  setDark(settings.value(kDarkKey, false).toBool());
  const int averaging = settings.value(kAveragingKey, 0).toInt();
  if (averaging >= 0 && averaging <= static_cast<int>(Averaging::slow))
    live_.model.setAveraging(static_cast<Averaging>(averaging));
  live_.model.setMaxHold(settings.value(kMaxHoldKey, false).toBool());
  const int view = settings.value(kViewKey, 0).toInt();
  if (view >= 0 && view <= static_cast<int>(View::both)) setView(static_cast<View>(view));
  setSpectrogramFloor(settings.value(kFloorKey, 0).toInt());
  const QStringList hidden = settings.value(kHiddenKey).toStringList();
  for (Reference& r : references_) r.shown = !hidden.contains(QString::fromStdString(r.name));
}

void BandscopeWindow::saveSettings(QSettings& settings) const {
  settings.setValue(kGeometryKey, saveGeometry());
  settings.setValue(kDarkKey, theme_.dark);
  settings.setValue(kAveragingKey, static_cast<int>(live_.model.averaging()));
  settings.setValue(kMaxHoldKey, live_.model.maxHold());
  settings.setValue(kViewKey, static_cast<int>(view_));
  settings.setValue(kFloorKey, floor_);
  QStringList hidden;
  for (const Reference& r : references_)
    if (!r.shown) hidden << QString::fromStdString(r.name);
  settings.setValue(kHiddenKey, hidden);
}

// Status and notices.

Status BandscopeWindow::currentStatus(Micros now) const {
  Status s = replay_ && !replay_running_ ? shown().model.status(shown().model.hasValues() ? frozen_at_ : now)
                                         : live_.model.status(now);
  if (replay_) {
    s.hold = replay_running_ ? Status::replay : Status::replay_paused;
    const Micros first = replay_data_.empty() ? 0 : replay_data_[0].at;
    const Micros last = replay_data_.empty() ? 0 : replay_data_[replay_data_.size() - 1].at;
    const Micros at = replay_next_ > 0 ? replay_data_[replay_next_ - 1].at : first;
    s.position = minutesText(at - first) + " / " + minutesText(last - first);
    // Gaps in a recording read as gaps; the end of one does not.
    if (replay_next_ >= replay_data_.size()) s.kind = Status::live;
  } else if (frozen_) {
    s.hold = Status::frozen;
    if (frozen_moved_ && !recorder_.empty()) {
      const size_t i = std::min(recorder_.indexAt(frozen_at_), recorder_.size() - 1);
      const QString when = QDateTime::fromMSecsSinceEpoch(recorder_[i].wall / 1000).toString(QStringLiteral("hh:mm:ss.z"));
      s.position = when.left(10).toStdString() + " (-" + minutesText(recorder_[recorder_.size() - 1].at - frozen_at_) + ")";
    }
  }
  // A band is named as ringing only on a picture that stands for the console.
  const bool picture = s.hold != Status::running || s.kind == Status::live;
  if (picture && shown().model.hasValues()) s.ringing_band = shown().sentinel.loudestRinging();
  return s;
}

QString BandscopeWindow::statusLine() const {
  const Status s = currentStatus(clock_());
  if (notice_until_ > steadyMicros() && s.kind != Status::stale && s.kind != Status::lost) return notice_;
  return QString::fromStdString(statusText(s));
}

void BandscopeWindow::notify(const QString& text) {
  notice_ = text;
  notice_until_ = steadyMicros() + kNoticeTime;
  status_->update();
  QTimer::singleShot(static_cast<int>(kNoticeTime / 1000) + 10, status_, [this] { status_->update(); });
}

QString BandscopeWindow::defaultPath(const QString& extension) const {
  QDir().mkpath(export_folder_);
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
  QString path = QDir(export_folder_).filePath(QStringLiteral("bandscope-%1.%2").arg(stamp, extension));
  for (int n = 2; QFile::exists(path); ++n)
    path = QDir(export_folder_).filePath(QStringLiteral("bandscope-%1-%2.%3").arg(stamp).arg(n).arg(extension));
  return path;
}

// Freeze, stepping and the timeline.

void BandscopeWindow::setFrozen(bool frozen) {
  if (replay_) {
    setReplayPaused(frozen);
    return;
  }
  if (frozen == frozen_.has_value()) return;
  if (frozen) {
    frozen_ = live_;
    frozen_at_ = clock_();
    frozen_moved_ = false;
  } else {
    frozen_.reset();
  }
  updateTimeline();
  spectrum_whole_ = true;
  scheduleFrame();
}

void BandscopeWindow::step(int delta) {
  const ShowRecorder& r = recorder();
  if (r.empty() || (!frozen_ && !isReplayPaused())) return;
  if (replay_) {
    const long target = static_cast<long>(replay_next_) - 1 + delta;
    showMoment(static_cast<size_t>(std::clamp<long>(target, 0, static_cast<long>(r.size()) - 1)));
    return;
  }
  // The datagram shown, or the last one before the moment of freezing.
  long at = static_cast<long>(r.indexAt(frozen_at_ + 1)) - 1;
  at = std::clamp<long>(at + delta, 0, static_cast<long>(r.size()) - 1);
  showMoment(static_cast<size_t>(at));
}

void BandscopeWindow::showMoment(size_t index) {
  const ShowRecorder& r = recorder();
  if (r.empty() || (!frozen_ && !isReplayPaused())) return;
  index = std::min(index, r.size() - 1);
  ShowState state = r.stateAt(index, live_.model.averaging(), live_.model.maxHold());
  state.model.setLink(Link::connected, r[0].at);
  if (replay_) {
    // A paused replay goes on from here.
    live_ = std::move(state);
    replay_next_ = index + 1;
    frozen_at_ = r[index].at;
  } else {
    frozen_ = std::move(state);
    frozen_at_ = r[index].at;
    frozen_moved_ = true;
  }
  updateTimeline();
  spectrum_whole_ = true;
  scheduleFrame();
  status_->update();
}

void BandscopeWindow::updateTimeline() {
  const ShowRecorder& r = recorder();
  const bool shown = !r.empty() && (frozen_ || isReplayPaused());
  timeline_->setVisible(shown);
  if (!shown) return;
  timeline_from_ = r[0].at;
  const QSignalBlocker quiet(timeline_);
  timeline_->setRange(0, static_cast<int>((r[r.size() - 1].at - timeline_from_) / kTimelineStep));
  timeline_->setValue(static_cast<int>((frozen_at_ - timeline_from_) / kTimelineStep));
  timeline_->raise();
}

// Views.

void BandscopeWindow::setView(View view) {
  view_ = view;
  spectrum_whole_ = true;
  spectrum_->update();
}

void BandscopeWindow::setSpectrogramFloor(int floor) {
  floor_ = std::clamp(floor, 0, kFloorMost);
  spectrum_whole_ = true;
  spectrum_->update();
}

// Reference traces, kept as one CSV file each in the data folder.

void BandscopeWindow::loadReferences() {
  references_.clear();
  const QDir dir(data_folder_);
  for (const QFileInfo& f : dir.entryInfoList({QStringLiteral("*.csv")}, QDir::Files, QDir::Time | QDir::Reversed)) {
    if (static_cast<int>(references_.size()) >= kMaxReferences) break;
    QFile file(f.filePath());
    if (!file.open(QIODevice::ReadOnly)) continue;
    const std::string text = file.readAll().toStdString();
    Reference r;
    // The value column is named after the reference.
    const size_t eol = text.find('\n');
    const std::string header = text.substr(0, eol == std::string::npos ? text.size() : eol);
    const std::string prefix = "band,centre_hz,";
    if (header.rfind(prefix, 0) != 0 || !parseReferenceCsv(text, &r.values)) continue;
    r.name = header.substr(prefix.size());
    if (!r.name.empty() && r.name.back() == '\r') r.name.pop_back();
    references_.push_back(r);
  }
  referencesChanged();
}

void BandscopeWindow::saveReferenceFile(const Reference& r) {
  if (data_folder_.isEmpty()) return;
  QDir().mkpath(data_folder_);
  writeFile(QDir(data_folder_).filePath(QString::fromStdString(safeName(r.name)) + QStringLiteral(".csv")),
            QByteArray::fromStdString(referenceCsv(r)));
}

void BandscopeWindow::removeReferenceFile(const Reference& r) {
  if (data_folder_.isEmpty()) return;
  QFile::remove(QDir(data_folder_).filePath(QString::fromStdString(safeName(r.name)) + QStringLiteral(".csv")));
}

bool BandscopeWindow::captureReference() {
  const ShowState& s = shown();
  if (!s.model.hasValues()) return true;  // nothing to capture yet
  if (static_cast<int>(references_.size()) >= kMaxReferences) return false;
  // Named by the moment of capture; a second capture within the same second gets a number.
  const QString base = QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss"));
  QString name = base;
  auto taken = [&](const QString& n) {
    return std::any_of(references_.begin(), references_.end(),
                       [&](const Reference& r) { return safeName(r.name) == safeName(n.toStdString()); });
  };
  for (int n = 2; taken(name); ++n) name = QStringLiteral("%1 %2").arg(base).arg(n);
  references_.push_back(bandscope::captureReference(s.model, name.toStdString()));
  saveReferenceFile(references_.back());
  referencesChanged();
  return true;
}

void BandscopeWindow::clearReferences() {
  for (const Reference& r : references_) removeReferenceFile(r);
  references_.clear();
  referencesChanged();
}

void BandscopeWindow::renameReference(int index, const std::string& name) {
  if (index < 0 || index >= static_cast<int>(references_.size())) return;
  Reference& r = references_[static_cast<size_t>(index)];
  const std::string wanted = safeName(name);
  for (size_t k = 0; k < references_.size(); ++k)
    if (static_cast<int>(k) != index && safeName(references_[k].name) == wanted) return;  // the name is taken
  removeReferenceFile(r);
  r.name = wanted;
  saveReferenceFile(r);
  referencesChanged();
}

void BandscopeWindow::removeReference(int index) {
  if (index < 0 || index >= static_cast<int>(references_.size())) return;
  removeReferenceFile(references_[static_cast<size_t>(index)]);
  references_.erase(references_.begin() + index);
  referencesChanged();
}

void BandscopeWindow::setReferenceShown(int index, bool shown) {
  if (index < 0 || index >= static_cast<int>(references_.size())) return;
  references_[static_cast<size_t>(index)].shown = shown;
  referencesChanged();
}

void BandscopeWindow::referencesChanged() {
  spectrum_whole_ = true;
  scheduleFrame();
  if (reference_items_ == nullptr) return;
  const QSignalBlocker quiet(reference_items_);
  reference_items_->clear();
  for (size_t i = 0; i < references_.size(); ++i) {
    auto* item = new QListWidgetItem(QString::fromStdString(references_[i].name), reference_items_);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable | Qt::ItemIsEditable);
    item->setCheckState(references_[i].shown ? Qt::Checked : Qt::Unchecked);
    item->setForeground(referenceColour(static_cast<int>(i)));
  }
}

void BandscopeWindow::showReferenceList() {
  if (reference_list_ == nullptr) {
    reference_list_ = new QWidget(this, Qt::Tool);
    reference_list_->setObjectName(QStringLiteral("references"));
    reference_list_->setWindowTitle(QStringLiteral("Reference traces"));
    auto* layout = new QVBoxLayout(reference_list_);
    reference_items_ = new QListWidget(reference_list_);
    layout->addWidget(reference_items_);
    auto* buttons = new QHBoxLayout;
    auto* remove = new QPushButton(QStringLiteral("Delete"), reference_list_);
    auto* clear = new QPushButton(QStringLiteral("Delete all"), reference_list_);
    buttons->addWidget(remove);
    buttons->addWidget(clear);
    layout->addLayout(buttons);
    // Ticked: shown; the text: the name (double-click to edit).
    connect(reference_items_, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
      const int i = reference_items_->row(item);
      if (i < 0 || i >= static_cast<int>(references_.size())) return;
      if ((item->checkState() == Qt::Checked) != references_[static_cast<size_t>(i)].shown)
        setReferenceShown(i, item->checkState() == Qt::Checked);
      else if (item->text().toStdString() != references_[static_cast<size_t>(i)].name)
        renameReference(i, item->text().toStdString());
    });
    connect(remove, &QPushButton::clicked, this, [this] { removeReference(reference_items_->currentRow()); });
    connect(clear, &QPushButton::clicked, this, &BandscopeWindow::clearReferences);
    referencesChanged();
  }
  reference_list_->show();
  reference_list_->raise();
}

// Export, recording and replay.

bool BandscopeWindow::exportCsv(const QString& path) {
  return writeFile(path, QByteArray::fromStdString(frameCsv(shown(), references_)));
}

bool BandscopeWindow::savePicture(const QString& path) { return grab().save(path, "PNG"); }

bool BandscopeWindow::startRecording(const QString& path) {
  stopRecording();
  recording_file_ = std::fopen(QFile::encodeName(path).constData(), "wb");
  if (recording_file_ == nullptr) return false;
  const std::vector<unsigned char> header = recordingHeader();
  if (std::fwrite(header.data(), 1, header.size(), recording_file_) != header.size()) {
    stopRecording();
    return false;
  }
  recording_path_ = path;
  return true;
}

void BandscopeWindow::stopRecording() {
  if (recording_file_ == nullptr) return;
  std::fclose(recording_file_);
  recording_file_ = nullptr;
}

bool BandscopeWindow::saveShow(const QString& path, int minutes) {
  if (recorder_.empty()) return false;
  const Micros from = recorder_[recorder_.size() - 1].at - minutes * 60 * kSecond;
  const std::vector<unsigned char> bytes = recorder_.recording(recorder_.indexAt(from), kMeterPort);
  return writeFile(path, QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
}

bool BandscopeWindow::startReplay(const QString& path, QString* error) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    *error = f.errorString();
    return false;
  }
  const QByteArray bytes = f.readAll();
  std::vector<MeterDatagram> datagrams;
  const std::string why =
      readRecording(std::vector<unsigned char>(bytes.begin(), bytes.end()), kMeterPort, &datagrams);
  // A recording cut short (by a crash, say) is shown up to its cut.
  if (datagrams.empty()) {
    *error = QString::fromStdString(why.empty() ? "no meter datagrams in it" : why);
    return false;
  }
  if (!why.empty()) notify(QString::fromStdString(why));
  replay_ = true;
  for (const MeterDatagram& d : datagrams) replay_data_.add(d);
  hwndconx->setEnabled(false);
  hwndipaddr->setEnabled(false);
  hwndipaddr->setText(QStringLiteral("replay"));
  live_.model.setLink(Link::connected, datagrams.front().at);
  // The display's clock is the recording's: where the replay stands.
  clock_ = [this] {
    if (!replay_running_) return frozen_at_;
    return replay_origin_at_ + (steadyMicros() - replay_origin_steady_);
  };
  replay_next_ = 0;
  frozen_at_ = datagrams.front().at;
  setReplayPaused(false);
  return true;
}

void BandscopeWindow::setReplayPaused(bool paused) {
  if (!replay_) return;
  if (paused) {
    if (!replay_running_) return;
    frozen_at_ = clock_();
    replay_running_ = false;
    replay_timer_->stop();
  } else {
    if (replay_next_ >= replay_data_.size()) {  // from the start again
      const Averaging averaging = live_.model.averaging();
      const bool max_hold = live_.model.maxHold();
      live_ = ShowState();
      live_.model.setAveraging(averaging);
      live_.model.setMaxHold(max_hold);
      live_.model.setLink(Link::connected, replay_data_[0].at);
      replay_next_ = 0;
      frozen_at_ = replay_data_[0].at;
    }
    replay_origin_steady_ = steadyMicros();
    replay_origin_at_ = frozen_at_;
    replay_running_ = true;
    playReplay();
  }
  updateTimeline();
  status_->update();
  scheduleFrame();
}

void BandscopeWindow::playReplay() {
  if (!replay_running_) return;
  const Micros now = clock_();
  bool any = false;
  while (replay_next_ < replay_data_.size() && replay_data_[replay_next_].at <= now) {
    take(replay_data_[replay_next_++]);
    ++stats_.datagrams;
    any = true;
  }
  if (any) {
    if (unshown_since_ < 0) unshown_since_ = steadyMicros();
    scheduleFrame();
  }
  if (replay_next_ >= replay_data_.size()) {
    setReplayPaused(true);  // the end: the last picture stays
    return;
  }
  const Micros due = replay_data_[replay_next_].at - now;
  replay_timer_->start(static_cast<int>(std::min<Micros>(microsToMs(due), kReplayTickMs)));
  if (statusLine() != shown_status_text_) status_->update();
}

}  // namespace bandscope
