// SPDX-License-Identifier: MIT
// Shared by bandscope's tests: one QApplication for a test program, on the offscreen platform so no
// display is needed, a real event loop, and what a picture of the window shows.
#pragma once

#include <QApplication>
#include <QColor>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QImage>
#include <QObject>
#include <QTimer>

#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

namespace apptest {

// Moves the process, before it starts any thread, into a network namespace of its own with only
// loopback up, so the fixed console ports are not shared with anything else on the host. Returns
// false (and changes nothing) when that is not possible, e.g. without root; the tests then run
// on the host's loopback.
inline bool privateLoopback() {
  static const bool done = [] {
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) return false;
    return std::system("ip link set lo up") == 0;
  }();
  return done;
}

inline QApplication& qtApp() {
  static int argc = 1;
  static char name[] = "bandscope-test";
  static char* argv[] = {name, nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Runs a real event loop, as the program's own, until done() holds or timeout_ms passes;
// returns done().
inline bool pumpUntil(const std::function<bool()>& done, int timeout_ms) {
  if (done()) return true;
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  check.start(5);
  QTimer::singleShot(timeout_ms, &loop, &QEventLoop::quit);
  loop.exec();
  return done();
}

// Pixels of the classic bar area (rows 40 to 167, columns 11 to 609) of a picture of the window
// that are neither grey nor white: bars in colour, the max-hold trace.
inline int colouredBarPixels(const QImage& img) {
  int n = 0;
  for (int y = 40; y < 168; ++y)
    for (int x = 11; x < 610; ++x) {
      const QColor c = img.pixelColor(x, y);
      n += c.red() != c.green() || c.green() != c.blue();
    }
  return n;
}

// Calls seen() for every event of one type that reaches target, while it lives.
class EventRecorder : public QObject {
 public:
  EventRecorder(QObject* target, QEvent::Type type, std::function<void()> seen)
      : target_(target), type_(type), seen_(std::move(seen)) {
    target_->installEventFilter(this);
  }
  ~EventRecorder() override { target_->removeEventFilter(this); }

 protected:
  // QObject
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == target_ && event->type() == type_) seen_();
    return false;
  }

 private:
  QObject* target_;
  QEvent::Type type_;
  std::function<void()> seen_;
};

}  // namespace apptest
