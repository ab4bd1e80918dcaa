#include "window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <ctime>

#include <mixlink/link.h>
#include <mixlink/meters.h>

namespace bandscope {

namespace {

constexpr QRect kConnectRect{5, 15, 85, 20};
constexpr QRect kAddressRect{95, 15, 120, 20};
// An IPv4 address in dotted text is at most 15 characters.
constexpr int kAddressMaxLength = 15;

// Scale: label k at (0, 50 + 16k), top of its text cell; its grid line 5 px lower.
constexpr const char* kLabels[8] = {" 18", "  0", " -6", "-12", "-18", "-26", "-40", "-oo"};
constexpr int kLabelTop = 50;
constexpr int kLabelStep = 16;
constexpr int kGridBelowLabel = 5;
// A grid line runs from x = 11 towards 609, the end point itself not drawn.
constexpr int kGridFirstX = 11;
constexpr int kGridEndX = 609;

constexpr int kLabelPixelHeight = 8;
// Largest meter datagram read, and how long one read may wait.
constexpr int kMeterReadSize = 254;
constexpr int kMeterWaitUs = 10000;
// The renewal is due on whole seconds; checking a few times a second keeps it on time.
constexpr int kRenewCheckMs = 250;
constexpr int kRenewAfterSeconds = 4;  // renew when now > before + 4

QFont labelFont() {
  // Arial where it exists, else a metric-compatible or common sans face.
  QFont::insertSubstitutions("Arial", {"Liberation Sans", "DejaVu Sans"});
  QFont f("Arial");
  f.setPixelSize(kLabelPixelHeight);
  f.setWeight(QFont::Medium);
  f.setStyleStrategy(QFont::PreferAntialias);
  return f;
}

}  // namespace

BandscopeWindow::BandscopeWindow(const QString& address, QWidget* parent)
    : QWidget(parent),
      gBrush(QColor(0, 200, 20)),
      yBrush(QColor(255, 200, 20)),
      rBrush(QColor(255, 30, 0)),
      wBrush(QColor(255, 255, 255)),
      wnpen(Qt::NoPen),
      hfont(labelFont()) {
  mbits[mixlink::kRtaBitmapRow] = mixlink::kRtaBitmapBit;
  clock_.start();

  setWindowTitle(QString::fromLatin1(kWindowTitle));
  setObjectName("BANDSCOPE");
  // The position is the outer window's, as a desktop places it; the size is the client area's.
  setFixedSize(kClientWidth, kClientHeight);
  move(kWindowX, kWindowY);
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setCursor(Qt::ArrowCursor);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Button));
  setPalette(pal);
  setAutoFillBackground(true);

  hwndconx = new QPushButton(QStringLiteral("Connect"), this);
  hwndconx->setGeometry(kConnectRect);
  // Only a full click is a press; pressed/released alone are not.
  connect(hwndconx, &QPushButton::clicked, this, &BandscopeWindow::onConnectClicked);

  hwndipaddr = new QLineEdit(this);
  hwndipaddr->setGeometry(kAddressRect);
  hwndipaddr->setMaxLength(kAddressMaxLength);
  hwndipaddr->setText(address);

  renew_timer_ = new QTimer(this);
  renew_timer_->setInterval(kRenewCheckMs);
  connect(renew_timer_, &QTimer::timeout, this, [this] { meterStep(false); });
}

BandscopeWindow::~BandscopeWindow() = default;

void BandscopeWindow::onConnectClicked() {
  if (keep_running == 0) return;
  if (ready == 1) {
    stop();
    emit finished(0);
    return;
  }
  connectSequence();
}

void BandscopeWindow::connectSequence() {
  // A typed address is used as it stands; an empty box leaves wingip empty, so wOpen discovers.
  std::memset(wingip, 0, sizeof wingip);
  const QByteArray typed = hwndipaddr->text().trimmed().toLatin1();
  std::memcpy(wingip, typed.constData(),
              static_cast<size_t>(std::min<qsizetype>(typed.size(), sizeof wingip - 1)));

  int rc = wOpen(wingip);
  if (rc != 1) {
    if (rc == -6) {
      fail("no console found", rc);
    } else {
      char step[64];
      std::snprintf(step, sizeof step, "cannot connect to %s", wingip[0] ? wingip : "the console");
      fail(step, rc);
    }
    return;
  }
  hwndipaddr->setText(QString::fromLatin1(wingip));

  rc = wMeterUDPPort(M_port);
  if (rc != 1) {
    char step[64];
    std::snprintf(step, sizeof step, "meter port %d could not be set up", static_cast<int>(M_port));
    fail(step, rc);
    return;
  }
  rc = wSetMetersRequest(M_id, mbits);
  if (rc != 1) {
    fail("meter subscription failed", rc);
    return;
  }
  ready = 1;

  meter_notifier_ = new QSocketNotifier(static_cast<qintptr>(wing_msocket), QSocketNotifier::Read, this);
  connect(meter_notifier_, &QSocketNotifier::activated, this, [this] { meterStep(true); });
  renew_timer_->start();
  // The first meter step renews at once, right after the subscription.
  meterStep(false);
}

void BandscopeWindow::fail(const char* step, int result) {
  std::fprintf(stderr, "bandscope: %s (%d)\n", step, result);
  std::fflush(stderr);
  stop();
  emit finished(1);
}

void BandscopeWindow::meterStep(bool datagram_waiting) {
  if (keep_running == 0 || ready == 0) return;
  now = static_cast<int64_t>(std::time(nullptr));
  if (now > before + kRenewAfterSeconds) {
    wRenewMeters(M_id);
    before = now;
  }
  if (!datagram_waiting) return;
  // The socket is readable, so the wait returns at once; the bound only guards a spurious wake.
  len = wGetMeters(buf, kMeterReadSize, kMeterWaitUs);
  if (len <= 0) return;
  ++stats_.datagrams;
  if (unshown_since_us_ < 0) unshown_since_us_ = clock_.nsecsElapsed() / 1000;
  showDatagram(buf, len);
}

void BandscopeWindow::showDatagram(const unsigned char* data, int length) {
  // A short datagram leaves the tail of buf as the previous one left it; heights come from buf.
  if (data != buf) std::memcpy(buf, data, static_cast<size_t>(std::clamp(length, 0, kMeterReadSize)));
  std::array<int, kBarCount> h{};
  wBarHeights(buf, h.data());
  setBarHeights(h);
}

void BandscopeWindow::setBarHeights(const std::array<int, kBarCount>& heights) {
  heights_ = heights;
  have_bars_ = true;
  // Only the bar area changes; the rest of the window keeps what the last full paint drew.
  update(QRect(kBarFirstX, kBarAreaTop, kBarPitch * kBarCount + 1, kBarAreaHeight));
}

void BandscopeWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  hdc = &painter;
  painter.setFont(hfont);
  painter.setBackgroundMode(Qt::TransparentMode);
  painter.setPen(QPen(Qt::black, 1));
  const QFontMetrics fm(hfont);
  for (int k = 0; k < 8; ++k) {
    const int top = kLabelTop + kLabelStep * k;
    painter.drawText(0, top + fm.ascent(), QString::fromLatin1(kLabels[k]));
    const int line_y = top + kGridBelowLabel;
    painter.drawLine(kGridFirstX, line_y, kGridEndX - 1, line_y);
  }
  if (have_bars_) {
    painter.setClipRect(QRect(0, kBarAreaTop, width(), kBarAreaHeight));
    for (int i = 0; i < kBarCount; ++i) wBarMeters(kBarFirstX + kBarPitch * i, kBarAreaTop, heights_[i]);
  }
  hdc = nullptr;
  if (unshown_since_us_ >= 0) {
    const int64_t latency = clock_.nsecsElapsed() / 1000 - unshown_since_us_;
    ++stats_.frames;
    stats_.latency_sum_us += latency;
    stats_.latency_max_us = std::max(stats_.latency_max_us, latency);
    unshown_since_us_ = -1;
  }
}

void BandscopeWindow::wBarMeters(int x, int y, int h) {
  // Columns x + 1 to x + 4: the right edge x + 5 is exclusive, leaving a 1-px gap between bars.
  const int left = x + 1;
  const int width = 4;
  BarFill fills[4];
  const int n = wBarFills(y, h, fills);
  hdc->setPen(wnpen);
  for (int f = 0; f < n; ++f) {
    const BarFill& fill = fills[f];
    if (fill.bottom <= fill.top) continue;
    const QBrush* brush = &wBrush;
    switch (fill.zone) {
      case Zone::green: brush = &gBrush; break;
      case Zone::yellow: brush = &yBrush; break;
      case Zone::red: brush = &rBrush; break;
      case Zone::white: brush = &wBrush; break;
    }
    hdc->fillRect(QRect(left, fill.top, width, fill.bottom - fill.top), *brush);
  }
}

void BandscopeWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  if (keep_running == 0) return;
  stop();
  emit finished(0);
}

void BandscopeWindow::stop() {
  keep_running = 0;
  // A readable socket nobody reads would wake the event loop until it ends.
  if (meter_notifier_ != nullptr) meter_notifier_->setEnabled(false);
  renew_timer_->stop();
}

}  // namespace bandscope
