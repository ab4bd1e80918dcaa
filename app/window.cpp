#include "window.h"

#include "pane.h"

#include <QCloseEvent>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPaintEngine>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTimer>

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
    const Micros now = clock_();
    const Status status = model_.status(now);
    if (model_.live(now) != shown_live_ || status.kind != shown_status_.kind ||
        status.seconds != shown_status_.seconds) {
      scheduleFrame();
    } else {
      armStatusTimer(now);  // datagrams moved the change on since the timer was set
    }
  });
}

BandscopeWindow::~BandscopeWindow() {
  // The thread must be gone before the window it posts to.
  worker_.reset();
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
  model_.setLink(Link::connecting, clock_());
  // Mail is taken when the next frame is due, not on every wake: the worker wakes the window
  // only when its mailbox was empty, so however many datagrams come, the window wakes about once
  // a frame.
  worker_ = std::make_unique<LinkWorker>(
      [this] { QMetaObject::invokeMethod(this, &BandscopeWindow::scheduleFrame, Qt::QueuedConnection); });
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
  for (const LinkWorker::LinkChange& c : mail.changes) model_.setLink(c.link, c.at);
  for (const LinkWorker::Datagram& d : mail.datagrams) {
    model_.addValues(d.values.data(), d.at);
    if (unshown_since_ < 0) unshown_since_ = d.at;
  }
  stats_.datagrams += static_cast<int64_t>(mail.datagrams.size());
  stats_.skipped = mail.skipped;
  model_.setDroppedForeign(mail.dropped_foreign);
}

void BandscopeWindow::showDatagram(const unsigned char* data, int length) {
  std::memcpy(buf_, data, static_cast<size_t>(std::clamp(length, 0, static_cast<int>(sizeof buf_))));
  int16_t values[kBarCount];
  for (int i = 0; i < kBarCount; ++i) {
    const unsigned char* v = buf_ + kRtaHeaderBytes + 2 * i;
    values[i] = static_cast<int16_t>(static_cast<uint16_t>((v[0] << 8) | v[1]));
  }
  model_.addValues(values, clock_());
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
  const Status status = model_.status(clock_());
  if (status.kind != shown_status_.kind || status.seconds != shown_status_.seconds) status_->update();
}

void BandscopeWindow::armStatusTimer(Micros now) {
  const Micros next = keep_running != 0 ? model_.nextStatusChange(now) : -1;
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
  return Layout(static_cast<int>(std::lround(width() * dpr)), static_cast<int>(std::lround(height() * dpr)), dpr);
}

QRect BandscopeWindow::barColumnsRect() const {
  const double dpr = spectrum_->devicePixelRatioF();
  const Layout l = layoutAt(dpr);
  const int pane_top = static_cast<int>(std::lround(spectrum_->y() * dpr));
  return QRect(QPoint(static_cast<int>(std::floor(l.left / dpr)), static_cast<int>(std::floor((l.top - pane_top) / dpr))),
               QPoint(static_cast<int>(std::ceil(l.right / dpr)) - 1,
                      static_cast<int>(std::ceil((l.bottom - pane_top) / dpr)) - 1));
}

void BandscopeWindow::paintSpectrum(QPainter& painter, const QRegion& region) {
  const double dpr = beginPanePaint(painter, spectrum_);
  const Layout layout = layoutAt(dpr);
  const Micros now = clock_();

  // Frames repaint only the bar columns: everything drawn from the model stays inside them, and
  // the pane keeps the rest of the last paint. Anything else (an expose, a resize, the theme,
  // a moved readout) paints the whole pane from the backdrop.
  bool whole = spectrum_whole_ || region != QRegion(bars_update_);
  spectrum_whole_ = false;

  // What changes only with the size and the theme is drawn once into the backdrop.
  if (backdrop_.size() != QSize(layout.width, layout.height) || backdrop_dpr_ != dpr ||
      backdrop_dark_ != theme_.dark) {
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
  }
  if (whole) painter.drawImage(0, 0, backdrop_);
  shown_live_ = model_.live(now);
  if (model_.hasValues()) paintBars(painter, layout, theme_, model_, shown_live_);
  if (hover_band_ >= 0 && model_.hasValues()) {
    // Figures that changed at every frame could not be read; twice a second they can.
    const Micros made = steadyMicros();
    if (readout_.isNull() || readout_band_ != hover_band_ || readout_dpr_ != dpr || readout_dark_ != theme_.dark ||
        (whole && made - readout_made_ >= kReadoutRefresh)) {
      readout_ = readoutBox(readoutLines(model_, hover_band_, now), theme_, textFontAt(dpr, false), dpr);
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
  shown_status_ = model_.status(clock_());
  painter.fillRect(QRect(static_cast<int>(std::lround(status_->x() * dpr)), 0, layout.width, layout.top),
                   theme_.background);
  paintStatus(painter, layout, theme_, shown_status_, textFontAt(dpr, true));
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
    case Qt::Key_M: model_.setMaxHold(!model_.maxHold()); break;
    case Qt::Key_P: model_.resetPeaks(); break;
    case Qt::Key_A: model_.cycleAveraging(); break;
    case Qt::Key_T: setDark(!theme_.dark); break;
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

void BandscopeWindow::showAllFeatures() {
  model_.setMaxHold(true);
  model_.setAveraging(Averaging::slow);
  setDark(true);
  const Layout layout(width(), height(), 1.0);
  hover_band_ = bandNearestTo(1000.0);
  hover_pos_ = QPoint((layout.barLeft(hover_band_) + layout.barRight(hover_band_)) / 2, (layout.top + layout.bottom) / 2);
}

void BandscopeWindow::loadSettings(QSettings& settings) {
  const QByteArray geometry = settings.value(kGeometryKey).toByteArray();
  if (!geometry.isEmpty()) restoreGeometry(geometry);
  setDark(settings.value(kDarkKey, false).toBool());
  const int averaging = settings.value(kAveragingKey, 0).toInt();
  if (averaging >= 0 && averaging <= static_cast<int>(Averaging::slow))
    model_.setAveraging(static_cast<Averaging>(averaging));
  model_.setMaxHold(settings.value(kMaxHoldKey, false).toBool());
}

void BandscopeWindow::saveSettings(QSettings& settings) const {
  settings.setValue(kGeometryKey, saveGeometry());
  settings.setValue(kDarkKey, theme_.dark);
  settings.setValue(kAveragingKey, static_cast<int>(model_.averaging()));
  settings.setValue(kMaxHoldKey, model_.maxHold());
}

}  // namespace bandscope
