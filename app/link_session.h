// SPDX-License-Identifier: MIT
// The window's side of the link: starts the link's thread on the first Connect, and hands what
// the thread learnt to the window as signals when the window takes its mail (once a frame).
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link_worker.h"

namespace bandscope {

class LinkSession : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;
  // Stops the link's thread, waiting for its current library call.
  ~LinkSession() override;

  // Starts the link: connect to address (empty: discover), subscribe meter collection id to the
  // meters of bitmap on UDP port.
  void start(const std::string& address, int port, int id, const unsigned char* bitmap);
  bool isStarted() const { return worker_ != nullptr; }
  // Work for the link's thread between its library calls while connected (reads others ask
  // for); before start.
  void setBetweenCalls(std::function<void()> work) { between_calls_ = std::move(work); }
  // Takes the mail waiting and tells it through the signals, in the order it came.
  void deliver();
  // Asks the link's thread to end after its current library call.
  void requestStop();
  // Waits up to ms for the thread; true when it has stopped (or never started).
  bool waitStopped(int ms);

 signals:
  // Mail has come to an empty mailbox (emitted on the window's thread).
  void mailWaiting();
  // The first connection reached address, or failed at step with result.
  void connected(const QString& address);
  void failed(const std::string& step, int result);
  void linkChanged(bandscope::Link link, bandscope::Micros at);
  void datagramsRead(const std::vector<bandscope::MeterDatagram>& datagrams);
  // The totals so far: datagrams left out because the window fell behind, and foreign ones.
  void totals(int64_t skipped, int64_t dropped_foreign);

 private:
  std::unique_ptr<LinkWorker> worker_;
  std::function<void()> between_calls_;
};

}  // namespace bandscope
