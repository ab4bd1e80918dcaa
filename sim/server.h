// SPDX-License-Identifier: MIT
// mixsim's server: one wait loop over the listening socket, the discovery socket and every client;
// timers are the loop's time-outs. Each client gets a fair share of every pass, and no client can
// make mixsim hold more than its queue bound for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "compose.h"
#include "faults.h"
#include "meter_plan.h"
#include "model.h"
#include "net.h"
#include "options.h"
#include "outbox.h"
#include "stream.h"

namespace mixsim {

// Bytes read from one client in one pass of the loop, so that a fast sender cannot stall others.
inline constexpr size_t kReadPerPass = 64 << 10;
// A client whose output queue stays over its bound this long is closed.
inline constexpr std::chrono::seconds kFullQueueLimit{10};
// The listening socket's backlog: a burst of this many connects waits to be accepted.
inline constexpr int kListenBacklog = 128;

struct client {
  net::socket_t fd = net::kNoSocket;
  int number = 0;
  sockaddr_in peer{};
  std::string name;  // "#n ip:port" for the log
  sim_clock::time_point connected;
  client_stream stream;
  std::deque<sim_request> waiting;  // requests read but not handled while the queue was over its bound
  out_queue out;
  held_events held;
  long long sent = 0;
  std::optional<sim_clock::time_point> full_since;  // when the queue went over its bound
  bool blocked = false;  // the socket refused bytes; wait until it is writable
  bool dead = false;
  int meter_port = 0;
  meter_subscriptions subs;
  meter_budget budget;
};

class server {
 public:
  explicit server(const options& o);
  ~server();
  server(const server&) = delete;
  server& operator=(const server&) = delete;

  // Opens the sockets; returns false after printing why.
  bool open();
  // Runs until SIGTERM or SIGINT; returns the exit status (0, or 1 when polling fails).
  int run();

 private:
  struct cached_reply {
    size_t size;  // before framing
    std::shared_ptr<const std::string> framed;
  };

  void accept_clients(sim_clock::time_point now);
  void answer_discovery();
  void read_client(client& c);
  void handle_waiting(client& c, sim_clock::time_point now);
  void handle(client& c, const sim_request& r, sim_clock::time_point now);
  void queue(client& c, const std::string& bytes, bool reply, sim_clock::time_point now);
  const cached_reply& container_reply(uint32_t token);
  void flush(client& c, sim_clock::time_point now);
  void release_held(client& c, sim_clock::time_point now);
  void close_client(client& c, const char* why);
  void meter_tick(sim_clock::time_point now);
  void animation_tick(sim_clock::time_point now);
  // True while c's queue is at or over its bound: its requests wait and its events are held.
  bool over_bound(const client& c) const { return c.out.charge() >= static_cast<size_t>(opt_.queue_bytes); }
  double seconds(sim_clock::time_point t) const { return std::chrono::duration<double>(t - start_).count(); }

  options opt_;
  console_model model_;
  rta_generator rta_;
  fault_plan faults_;
  identity id_;
  net::socket_t listen_fd_ = net::kNoSocket, discovery_fd_ = net::kNoSocket, meter_fd_ = net::kNoSocket;
  std::list<client> clients_;
  // At the descriptor limit the listening socket stays readable; it is left out of the poll
  // until a client leaves (or a second has passed), instead of waking the loop again and again.
  bool accepting_ = true;
  size_t max_clients_ = SIZE_MAX;  // what the descriptor limit allows
  sim_clock::time_point accept_retry_{};
  // Framed container replies by token, all composed at model version cache_version_: a large
  // container read again and again costs its composition once per change of any value.
  std::unordered_map<uint32_t, cached_reply> container_replies_;
  uint64_t cache_version_ = 0;
  size_t cached_bytes_ = 0;
  std::vector<unsigned char> read_buffer_ = std::vector<unsigned char>(kReadPerPass);
  std::vector<sim_request> parsed_;
  size_t meter_ticks_ = 0;
  int next_number_ = 1;
  sim_clock::time_point start_ = sim_clock::now();
  sim_clock::time_point next_meter_ = start_, next_animation_ = start_;
};

}  // namespace mixsim
