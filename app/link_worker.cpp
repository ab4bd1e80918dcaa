// SPDX-License-Identifier: MIT
#include "link_worker.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <mixlink/link.h>
#include <mixlink/meters.h>
#include <mixlink/recording.h>
#include <mixlink/result.h>

namespace bandscope {

namespace {

// Largest meter datagram read; the buffer keeps whatever a shorter one leaves behind it.
constexpr int kMeterReadSize = 254;
// How often the thread drains the TCP connection, checks that the console answers and calls the
// keep-alive (which sends when due),
// and so also the longest it waits for a datagram before looking at the stop request.
constexpr Micros kHousekeeping = 100000;
// While the console is lost, one reconnection attempt a second.
constexpr Micros kReconnectEvery = kSecond;
// Without a datagram from the console for this long, the subscription is sent again.
constexpr Micros kResubscribeAfter = 2 * kSecond;
// A renewal goes out when the whole-second monotonic clock is past the last one by more than this.
constexpr int64_t kRenewAfterSeconds = 4;
// A failed datagram read is not retried at once, so a broken socket cannot spin the thread.
constexpr int kReadFailurePauseMs = 10;
// Datagrams already queued are read without waiting.
constexpr int kQueuedOnly = -1;
// Datagrams that come closer together than this are read in batches this far apart (half a
// frame at 60 Hz).
constexpr Micros kBatchRest = 8000;
// An IPv4 address in dotted text is at most 15 characters.
constexpr size_t kAddressText = 24;

}  // namespace

Micros steadyMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The process's default link: bandscope talks to one console, and the web view's reads, which run
// on this thread between the worker's calls, go through the same link.
LinkWorker::LinkWorker(std::function<void()> wake) : wake_(std::move(wake)), link_handle_(wLinkDefault()) {}

LinkWorker::~LinkWorker() {
  requestStop();
  if (thread_.joinable()) thread_.join();
  wLinkClose(link_handle_);
}

void LinkWorker::start(const std::string& address, int port, int id, const unsigned char* bitmap) {
  address_ = address;
  port_ = port;
  id_ = id;
  std::memcpy(bitmap_.data(), bitmap, bitmap_.size());
  {
    std::lock_guard lock(mutex_);
    finished_ = false;
  }
  thread_ = std::thread(&LinkWorker::run, this);
}

LinkWorker::Mail LinkWorker::take() {
  std::lock_guard lock(mutex_);
  Mail m = std::move(mail_);
  mail_ = Mail{};
  // The counters are totals: they stay for the next mail.
  mail_.dropped_foreign = m.dropped_foreign;
  mail_.skipped = m.skipped;
  mail_waiting_ = false;
  return m;
}

void LinkWorker::requestStop() {
  stop_ = true;
  std::lock_guard lock(mutex_);
  changed_.notify_all();
}

bool LinkWorker::waitStopped(int ms) {
  {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return finished_; })) return false;
  }
  if (thread_.joinable()) thread_.join();
  return true;
}

template <class Put>
void LinkWorker::post(Put put) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    put(mail_);
    wake = !mail_waiting_;
    mail_waiting_ = true;
  }
  if (wake) wake_();
}

void LinkWorker::pause(int ms) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_.load(); });
}

void LinkWorker::run() {
  if (connectFirst()) {
    Micros next_housekeeping = 0;
    while (!stop_) {
      const Micros now = steadyMicros();
      if (now >= next_housekeeping) {
        keepLink(now);
        next_housekeeping = now + kHousekeeping;
        continue;  // look at the stop request again after the library calls
      }
      const Micros wait = next_housekeeping - now;
      if (link_ == Link::connected) {
        readMeters(static_cast<int>(wait));
        if (between_calls_ && !stop_) between_calls_();
      } else {
        pause(static_cast<int>((wait + 999) / 1000));
      }
    }
  }
  std::lock_guard lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

bool LinkWorker::connectFirst() {
  char address[kAddressText] = {};
  std::strncpy(address, address_.c_str(), sizeof address - 1);
  auto fail = [&](std::string step, int result) {
    post([&](Mail& m) { m.outcome = Outcome{false, address, std::move(step), result}; });
    return false;
  };

  int rc = wLinkOpen(link_handle_, address);
  if (rc != W_SUCCESS) {
    if (rc == W_ERR_NO_CONSOLE) return fail("no console found", rc);
    return fail(std::string("cannot connect to ") + (address[0] ? address : "the console"), rc);
  }
  if (stop_) return false;  // the window closed while connecting: subscribe to nothing
  address_ = address;
  // Meter datagrams are taken only from the address the connection reached.
  console_ = wLinkConsoleAddress(link_handle_);
  rc = wLinkMeterUDPPort(link_handle_, port_);
  if (rc != W_SUCCESS) return fail("meter port " + std::to_string(port_) + " could not be set up", rc);
  rc = wLinkSetMetersRequest(link_handle_, id_, bitmap_.data());
  if (rc != W_SUCCESS) return fail("meter subscription failed", rc);
  post([&](Mail& m) { m.outcome = Outcome{true, address, "", 1}; });
  changeLink(Link::connected);
  // The first renewal goes out at once, right after the subscription.
  wLinkRenewMeters(link_handle_, id_);
  renewed_ = steadyMicros() / kSecond;
  last_heard_ = steadyMicros();
  return true;
}

bool LinkWorker::subscribe() {
  if (wLinkMeterUDPPort(link_handle_, port_) != W_SUCCESS ||
      wLinkSetMetersRequest(link_handle_, id_, bitmap_.data()) != W_SUCCESS)
    return false;
  wLinkRenewMeters(link_handle_, id_);
  renewed_ = steadyMicros() / kSecond;
  last_heard_ = steadyMicros();
  return true;
}

void LinkWorker::keepLink(Micros now) {
  if (link_ == Link::lost) {
    if (now < next_reconnect_) return;
    next_reconnect_ = now + kReconnectEvery;
    // The reconnection counts only once the console answers on it: a frozen console's listen
    // backlog takes the connection but never answers.
    char address[kAddressText] = {};
    std::strncpy(address, address_.c_str(), sizeof address - 1);
    if (wLinkOpen(link_handle_, address) != W_SUCCESS || wLinkAnswered(link_handle_) != 1) {
      wLinkClose(link_handle_);
      return;
    }
    if (!stop_ && subscribe()) changeLink(Link::connected);
    return;
  }
  // A closed connection shows here at once; the keep-alive would find out only on its second
  // send after the close, up to twelve seconds later.
  if (wLinkDrainTCP(link_handle_) < 0) {
    next_reconnect_ = now;
    changeLink(Link::lost);
    return;
  }
  if (stop_) return;
  // A console that stopped answering (frozen, its sockets still open) shows within the link's
  // silence limit.
  if (wLinkAlive(link_handle_) != W_SUCCESS) {
    next_reconnect_ = now;
    wLinkClose(link_handle_);
    changeLink(Link::lost);
    return;
  }
  if (wLinkKeepAlive(link_handle_) != W_SUCCESS) {
    // wKeepAlive has already tried to reconnect; try again in a second.
    next_reconnect_ = now + kReconnectEvery;
    changeLink(Link::lost);
    return;
  }
  // A keep-alive that reconnected dropped the meter socket with the old connection.
  if (wLinkMeterSocket(link_handle_) == W_NO_SOCKET && (stop_ || !subscribe())) {
    next_reconnect_ = now + kReconnectEvery;
    changeLink(Link::lost);
    return;
  }
  const int64_t second = now / kSecond;
  if (!stop_ && second > renewed_ + kRenewAfterSeconds) {
    wLinkRenewMeters(link_handle_, id_);
    renewed_ = second;
  }
  // A console that stopped sending for longer than it keeps a subscription ignores renewals
  // afterwards; asking again while it is silent brings the meters back when it resumes.
  if (!stop_ && now - last_heard_ >= kResubscribeAfter) {
    wLinkSetMetersRequest(link_handle_, id_, bitmap_.data());
    last_heard_ = now;
  }
}

void LinkWorker::readMeters(int wait_us) {
  // The first datagram is waited for; what queued behind it is read at once.
  int n = readDatagram(std::max(wait_us, 1));
  if (n <= 0) return;
  while (n > 0 && !stop_) n = readDatagram(kQueuedOnly);
  // Datagrams that queued during a rest came at unknown times within it: they are spread over
  // it evenly, so that the average weighs each of them alike.
  if (rested_since_ > 0 && batch_.size() > 1) {
    const Micros span = batch_.front().at - rested_since_;
    const auto count = static_cast<Micros>(batch_.size());
    for (size_t i = 0; i < batch_.size(); ++i)
      batch_[i].at = rested_since_ + span * static_cast<Micros>(i + 1) / count;
  }
  if (!batch_.empty() || foreign_seen_) {
    post([&](Mail& m) {
      if (m.datagrams.size() + batch_.size() > kMailboxLimit) {
        // The window has fallen far behind: the older half goes.
        const auto half = static_cast<std::ptrdiff_t>(std::min(m.datagrams.size(), kMailboxLimit / 2));
        m.datagrams.erase(m.datagrams.begin(), m.datagrams.begin() + half);
        m.skipped += half;
      }
      m.datagrams.insert(m.datagrams.end(), batch_.begin(), batch_.end());
      m.dropped_foreign = dropped_;
    });
    batch_.clear();
    foreign_seen_ = false;
  }
  // Datagrams faster than a frame apart are read in batches: resting a few milliseconds between
  // them changes nothing on the screen and saves a wake-up of this thread per datagram.
  rested_since_ = 0;
  if (fast_) {
    rested_since_ = steadyMicros();
    pause(static_cast<int>(kBatchRest / 1000));
  }
}

int LinkWorker::readDatagram(int wait_us) {
  uint32_t sender = 0;
  const int n = wLinkMRecvFrom(link_handle_, buf_, kMeterReadSize, wait_us, &sender);
  if (n < 0) pause(kReadFailurePauseMs);
  if (n <= 0) return n;
  if (sender != console_) {
    ++dropped_;
    foreign_seen_ = true;
    return n;
  }
  Datagram& d = batch_.emplace_back();
  d.at = steadyMicros();
  d.source = wAddressNumber(sender);
  d.length = n;
  fast_ = d.at - last_heard_ < kBatchRest;
  last_heard_ = d.at;
  // Only what came: a datagram shorter than the RTA block is counted by the window, never drawn.
  std::memcpy(d.bytes.data(), buf_, std::min(static_cast<size_t>(n), d.bytes.size()));
  return n;
}

void LinkWorker::changeLink(Link link) {
  if (link == link_) return;
  link_ = link;
  const Micros at = steadyMicros();
  post([&](Mail& m) { m.changes.push_back({link, at}); });
}

}  // namespace bandscope
