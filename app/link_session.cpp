// SPDX-License-Identifier: MIT
#include "link_session.h"

namespace bandscope {

// The thread must be gone before the window it posts to.
LinkSession::~LinkSession() { worker_.reset(); }

void LinkSession::start(const std::string& address, int port, int id, const unsigned char* bitmap) {
  // The worker wakes the window only when its mailbox was empty, so however many datagrams
  // come, the window wakes about once a frame.
  worker_ = std::make_unique<LinkWorker>(
      [this] { QMetaObject::invokeMethod(this, &LinkSession::mailWaiting, Qt::QueuedConnection); });
  worker_->setBetweenCalls(between_calls_);
  worker_->start(address, port, id, bitmap);
}

void LinkSession::deliver() {
  if (worker_ == nullptr) return;
  LinkWorker::Mail mail = worker_->take();
  if (mail.outcome) {
    if (!mail.outcome->connected) {
      emit failed(mail.outcome->step, mail.outcome->result);
      return;
    }
    emit connected(QString::fromStdString(mail.outcome->address));
  }
  for (const LinkWorker::LinkChange& c : mail.changes) emit linkChanged(c.link, c.at);
  emit datagramsRead(mail.datagrams);
  emit totals(mail.skipped, mail.dropped_foreign);
}

void LinkSession::requestStop() {
  if (worker_ != nullptr) worker_->requestStop();
}

bool LinkSession::waitStopped(int ms) { return worker_ == nullptr || worker_->waitStopped(ms); }

}  // namespace bandscope
