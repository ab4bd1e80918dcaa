// SPDX-License-Identifier: MIT
// The link to the console on a thread of its own. The thread makes every library call of the
// program: the first connection, the keep-alive, draining the TCP connection, the renewals,
// reading meter datagrams, subscribing again while the console is silent, and after a loss
// reconnecting and subscribing again. What it learns it
// leaves in a mailbox for the window, which it wakes through a callback; the window's thread
// never waits for the console.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <mixlink/link.h>

#include "bars.h"
#include "model.h"
#include "show.h"

namespace bandscope {

// Microseconds on the monotonic clock that stamps datagrams and link events.
Micros steadyMicros();

class LinkWorker {
 public:
  // One meter datagram as read.
  using Datagram = MeterDatagram;

  // How the first connection ended: connected to address, or failed at step with result.
  struct Outcome {
    bool connected = false;
    std::string address;  // the address used (discovered when none was given)
    std::string step;     // "no console found", "cannot connect to ..." and so on
    int result = 0;
  };

  struct LinkChange {
    Link link;
    Micros at;
  };

  // Everything since the last take.
  struct Mail {
    std::optional<Outcome> outcome;        // the first connection's, once
    std::vector<LinkChange> changes;
    std::vector<Datagram> datagrams;
    int64_t dropped_foreign = 0;           // total so far
    int64_t skipped = 0;                   // total left out because the window fell behind
  };

  // wake is called on the worker's thread whenever mail arrives in an empty mailbox.
  explicit LinkWorker(std::function<void()> wake);
  // Stops the thread and waits for it, however long its current library call takes.
  ~LinkWorker();
  LinkWorker(const LinkWorker&) = delete;
  LinkWorker& operator=(const LinkWorker&) = delete;

  // Starts the thread: connect to address (empty: discover), subscribe meter collection id to
  // the meters of bitmap (29 bytes) on UDP port, and keep the link until stopped.
  void start(const std::string& address, int port, int id, const unsigned char* bitmap);

  // Sets work for the thread between its library calls while connected (reads that others ask
  // for); before start.
  void setBetweenCalls(std::function<void()> work) { between_calls_ = std::move(work); }

  // Takes the mail waiting.
  Mail take();

  // Asks the thread to end; it makes no library call after its current one.
  void requestStop();
  // Waits up to ms for the thread to end; returns true when it has (or never started).
  bool waitStopped(int ms);

 private:
  // Datagrams the mailbox holds at most; when the window falls this far behind, the older half
  // goes, so a stalled window cannot make it grow without end.
  static constexpr size_t kMailboxLimit = 4096;

  void run();
  bool connectFirst();
  bool subscribe();
  void keepLink(Micros now);
  void readMeters(int wait_us);
  int readDatagram(int wait_us);
  void changeLink(Link link);
  template <class Put>
  void post(Put put);
  void pause(int ms);

  std::function<void()> wake_;
  std::function<void()> between_calls_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool finished_ = true;
  Mail mail_;
  bool mail_waiting_ = false;

  // Worker-thread state.
  w_link* link_handle_;  // the link to the console (the default link, shared with the web view's reads)
  std::string address_;
  int port_ = 0;
  int id_ = 0;
  std::array<unsigned char, 32> bitmap_{};
  uint32_t console_ = 0;       // the console's IPv4 address, network byte order
  Link link_ = Link::idle;
  int64_t dropped_ = 0;        // foreign datagrams so far
  int64_t renewed_ = 0;        // calendar second of the last renewal
  Micros last_heard_ = 0;      // last datagram from the console, or the last subscription
  Micros next_reconnect_ = 0;
  unsigned char buf_[256] = {};
  std::vector<Datagram> batch_;  // read but not yet posted
  bool foreign_seen_ = false;
  bool fast_ = false;         // the last datagram came less than a batch rest after the one before
  Micros rested_since_ = 0;   // when the rest before this batch began; 0 after none
};

}  // namespace bandscope
