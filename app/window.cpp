// SPDX-License-Identifier: MIT
#include "window.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace bandscope {

namespace {

constexpr QRect kConnectRect{5, 15, 85, 20};
constexpr QRect kAddressRect{95, 15, 120, 20};
// The status view spans the controls row right of the address box (which ends at x = 215).
constexpr int kStatusViewLeft = 220;
// An IPv4 address in dotted text is at most 15 characters.
constexpr int kAddressMaxLength = 15;
// The timeline's height, in logical pixels, over the axis row.
constexpr int kTimelineHeight = 16;
// A replay wakes at least this often while it plays, to move its status on.
constexpr int kReplayTickMs = 250;

const QString kConnectText = QStringLiteral("Connect");
const QString kConnectingText = QStringLiteral("Connecting...");

}  // namespace

BandscopeWindow::BandscopeWindow(const QString& address, QWidget* parent)
    : QWidget(parent), playback_(QDateTime::currentMSecsSinceEpoch() * 1000 - steadyMicros()) {
  meter_bits_[mixlink::kRtaBitmapRow] = mixlink::kRtaBitmapBit;

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

  references_ = new ReferenceStore(this);
  connect(references_, &ReferenceStore::changed, this, &BandscopeWindow::repaintWhole);
  spectrum_ = new SpectrumView(this, [this] {
    return SpectrumState{&shown(), &references(), theme_, view_, floor_, hover_band_, hover_pos_, playback_.shownNow()};
  });
  status_ = new StatusView(this, [this] { return statusState(); });

  connect_button_ = new QPushButton(kConnectText, this);
  connect_button_->setGeometry(kConnectRect);
  // Space freezes the picture: it must never press the button, which would end the run.
  connect_button_->setFocusPolicy(Qt::NoFocus);
  // Only a full click is a press; pressed/released alone are not.
  connect(connect_button_, &QPushButton::clicked, this, &BandscopeWindow::onConnectClicked);
  address_box_ = new QLineEdit(this);
  address_box_->setGeometry(kAddressRect);
  address_box_->setMaxLength(kAddressMaxLength);
  address_box_->setText(address);

  timeline_ = new QSlider(Qt::Horizontal, this);
  timeline_->setObjectName(QStringLiteral("timeline"));
  timeline_->setFocusPolicy(Qt::NoFocus);
  timeline_->hide();
  connect(timeline_, &QSlider::valueChanged, this, [this](int v) { moved(playback_.showTimelineAt(v)); });
  keys_ = new KeyOverlay(this);

  const QScreen* s = screen();
  pacer_ = new FramePacer(s != nullptr ? s->refreshRate() : 0.0, this);
  connect(pacer_, &FramePacer::frameDue, this, &BandscopeWindow::frame);
  connect(pacer_, &FramePacer::statusDue, this, [this] {
    if (shown().model.live(playback_.shownNow()) != spectrum_->showsLive() || statusLine() != status_->shownText()) {
      pacer_->schedule();
    } else {  // datagrams moved the change on since the timer was set
      pacer_->armStatus(playback_.now(), running_ ? model().nextStatusChange(playback_.now()) : -1);
    }
  });
  connect(spectrum_, &SpectrumView::painted, this, [this] {
    pacer_->painted();
    // While frozen the link's status still moves on ("Frozen - No meter data for 3 s").
    const Micros now = playback_.shownNow();
    pacer_->armStatus(now, running_ ? model().nextStatusChange(now) : -1);
  });
  replay_timer_ = new QTimer(this);
  replay_timer_->setSingleShot(true);
  replay_timer_->setTimerType(Qt::PreciseTimer);
  connect(replay_timer_, &QTimer::timeout, this, &BandscopeWindow::playReplay);

  session_ = new LinkSession(this);
  connect(session_, &LinkSession::mailWaiting, pacer_, &FramePacer::schedule);
  connect(session_, &LinkSession::failed, this, &BandscopeWindow::fail);
  connect(session_, &LinkSession::connected, this, [this](const QString& used) {
    connected_ = true;
    connect_button_->setText(kConnectText);
    address_box_->setText(used);
  });
  connect(session_, &LinkSession::linkChanged, this, [this](Link l, Micros at) { playback_.live().model.setLink(l, at); });
  connect(session_, &LinkSession::datagramsRead, this, [this](const std::vector<MeterDatagram>& datagrams) {
    for (const MeterDatagram& d : datagrams) take(d);
    if (!datagrams.empty()) pacer_->datagramsWaiting(static_cast<int64_t>(datagrams.size()), datagrams.front().at);
  });
  connect(session_, &LinkSession::totals, this, [this](int64_t skipped, int64_t foreign) {
    pacer_->setSkipped(skipped);
    playback_.live().model.setDroppedForeign(foreign);
  });

  actions_ = std::make_unique<WindowActions>(this, [this](Command c) { run(c); }, [this](Command c) { return isChecked(c); });
}

BandscopeWindow::~BandscopeWindow() {
  // The link's thread must be gone before the window it posts to.
  delete session_;
  session_ = nullptr;
}

void BandscopeWindow::onConnectClicked() {
  if (!running_) return;
  if (connected_) {
    stop();
    emit finished(0);
    return;
  }
  if (session_->isStarted()) return;  // still connecting
  // A typed address is used as it stands; an empty box makes the link discover the console.
  const std::string typed = address_box_->text().trimmed().toLatin1().toStdString();
  connect_button_->setText(kConnectingText);
  playback_.live().model.setLink(Link::connecting, playback_.now());
  session_->start(typed, meter_port_, meter_id_, meter_bits_);
}

void BandscopeWindow::take(const MeterDatagram& d) {
  playback_.take(d);
  // A recording keeps every datagram as it came, whole or not.
  if (playback_.isReplay() || !recording_.isOn()) return;
  MeterDatagram stamped = d;
  stamped.wall = playback_.wallOf(d.at);
  if (!recording_.add(stamped)) notify(QStringLiteral("Recording stopped: cannot write ") + recording_.path());
}

void BandscopeWindow::showDatagram(const unsigned char* data, int length) {
  MeterDatagram d;
  d.at = playback_.now();
  d.source = 0x7F000001;
  d.length = std::clamp(length, 0, kMeterBytes);
  std::memcpy(d.bytes.data(), data, static_cast<size_t>(d.length));
  take(d);
  pacer_->datagramsWaiting(1, steadyMicros());
  pacer_->schedule();
}

void BandscopeWindow::fail(const std::string& step, int result) {
  std::fprintf(stderr, "bandscope: %s (%d)\n", step.c_str(), result);
  std::fflush(stderr);
  stop();
  emit finished(1);
}

void BandscopeWindow::stop() {
  running_ = false;
  session_->requestStop();
  pacer_->stop();
  replay_timer_->stop();
  playback_.setReplayPaused(true);
}

void BandscopeWindow::frame() {
  if (running_) session_->deliver();
  // A readout due for new figures may change its size: the whole view is painted again.
  if (hover_band_ >= 0 && spectrum_->readoutDue()) spectrum_->requestWhole();
  spectrum_->requestFrame();
  if (statusLine() != status_->shownText()) status_->update();
  // A recording cut by a crash keeps what came up to the last frame.
  if (!recording_.flush()) notify(QStringLiteral("Recording stopped: cannot write ") + recording_.path());
}

void BandscopeWindow::repaintWhole() {
  spectrum_->requestWhole();
  pacer_->schedule();
}

void BandscopeWindow::playReplay() {
  if (!playback_.isReplayRunning()) return;
  if (const int shown = playback_.playDue(); shown > 0) {
    pacer_->datagramsWaiting(shown, steadyMicros());
    pacer_->schedule();
  }
  if (!playback_.isReplayRunning()) {  // the end: the last picture stays
    replay_timer_->stop();
    updateTimeline();
    status_->update();
    return;
  }
  replay_timer_->start(static_cast<int>(std::min<Micros>((playback_.nextDue() + 999) / 1000, kReplayTickMs)));
  if (statusLine() != status_->shownText()) status_->update();
}

void BandscopeWindow::resizeEvent(QResizeEvent* event) {
  spectrum_->setGeometry(0, kControlsHeight, width(), height() - kControlsHeight);
  status_->setGeometry(kStatusViewLeft, 0, width() - kStatusViewLeft, kControlsHeight);
  timeline_->setGeometry(0, height() - kTimelineHeight, width(), kTimelineHeight);
  keys_->setGeometry(rect());
  QWidget::resizeEvent(event);
}

void BandscopeWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  if (!running_) return;
  stop();
  emit finished(0);
}

void BandscopeWindow::keyPressEvent(QKeyEvent* event) {
  // Keys that no shortcut took (the window is not the active one, as in tests and scripts).
  if (!actions_->runKey(event)) QWidget::keyPressEvent(event);
}

void BandscopeWindow::contextMenuEvent(QContextMenuEvent* event) {
  if (spectrum_->geometry().contains(event->pos())) openContextMenu(event->globalPos());
}

QMenu* BandscopeWindow::openContextMenu(const QPoint& global) {
  QMenu* menu = actions_->menu();
  menu->popup(global);
  return menu;
}

void BandscopeWindow::mouseMoveEvent(QMouseEvent* event) {
  hover_pos_ = event->position().toPoint();
  const double dpr = devicePixelRatioF();
  const Layout layout = layoutOf(size(), dpr, view_);
  const int x = static_cast<int>(std::lround(hover_pos_.x() * dpr));
  const int y = static_cast<int>(std::lround(hover_pos_.y() * dpr));
  const int band = y >= layout.top && y < layout.bottom ? layout.bandAt(x) : -1;
  if (band != hover_band_ || band >= 0) setHover(band);  // the readout moves
  QWidget::mouseMoveEvent(event);
}

void BandscopeWindow::leaveEvent(QEvent* event) {
  if (hover_band_ >= 0) setHover(-1);  // the readout goes
  QWidget::leaveEvent(event);
}

void BandscopeWindow::setHover(int band) {
  hover_band_ = band;
  repaintWhole();
}

}  // namespace bandscope
