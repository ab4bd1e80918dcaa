// One QApplication for a test program, on the offscreen platform so no display is needed.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cstdlib>
#include <functional>

namespace apptest {

inline QApplication& qtApp() {
  static int argc = 1;
  static char name[] = "bandscope-test";
  static char* argv[] = {name, nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Runs the event loop until done() holds or timeout_ms passes; returns done().
inline bool pumpUntil(const std::function<bool()>& done, int timeout_ms) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < timeout_ms) {
    QTest::qWait(10);
  }
  return done();
}

}  // namespace apptest
