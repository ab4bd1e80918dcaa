// SPDX-License-Identifier: MIT
// The server loop, its clients and the handling of their requests.
#include "server.h"

#include <mixlink/dictionary.h>
#include <mixlink/protocol.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace mixsim {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kAnimationStep{100};
// How long accepting stays paused at the descriptor limit when no client leaves.
constexpr std::chrono::seconds kAcceptRetry{1};
// Connections accepted and discovery datagrams answered per pass: floods of either wait their turn.
constexpr int kAcceptsPerPass = 64;
constexpr int kDatagramsPerPass = 64;
// Requests of one client handled per pass.
constexpr size_t kRequestsPerPass = 1024;
// Queued segments one send gathers.
constexpr int kChunksPerSend = 64;
// Container replies kept before the cache starts over.
constexpr size_t kCacheBytes = 16 << 20;

// Descriptors kept free under the process's limit.
constexpr size_t kSpareDescriptors = 8;
// The longest the loop sleeps without looking at a stop request: a signal that lands just
// before the wait starts is seen this late at the latest.
constexpr milliseconds kLongestWait{100};

using mixlink::detail::last_socket_error;

bool g_quiet = false;

void log_line(const char* fmt, ...) {
  if (g_quiet) return;
  va_list ap;
  va_start(ap, fmt);
  std::fputs("mixsim: ", stderr);
  std::vfprintf(stderr, fmt, ap);
  std::fputc('\n', stderr);
  va_end(ap);
}

}  // namespace

server::server(const options& o) : opt_(o), model_(o.seed), rta_(o.seed), faults_(opt_, model_) {
  g_quiet = o.quiet;
  rta_.set_feedback(o.feedback_band, o.feedback_growth);
}

server::~server() {
  for (client& c : clients_) mixlink::detail::drop_socket(c.fd);
  for (net::socket_t* s : {&listen_fd_, &discovery_fd_, &meter_fd_}) mixlink::detail::drop_socket(*s);
}

bool server::open() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(opt_.port));
  if (!mixlink::detail::net_start()) {
    std::fprintf(stderr, "mixsim: cannot start the socket layer\n");
    return false;
  }
  if (!net::parse_address(opt_.bind, &addr.sin_addr)) {
    std::fprintf(stderr, "mixsim: --bind %s is not an IPv4 address\n", opt_.bind.c_str());
    return false;
  }
  listen_fd_ = net::listen_on(addr, kListenBacklog);
  if (listen_fd_ == net::kNoSocket) {
    std::fprintf(stderr, "mixsim: cannot listen on TCP %s:%d: %s\n", opt_.bind.c_str(), opt_.port,
                 net::error_text(last_socket_error()).c_str());
    return false;
  }
  discovery_fd_ = net::udp_on(addr);
  if (discovery_fd_ == net::kNoSocket) {
    std::fprintf(stderr, "mixsim: cannot bind UDP %s:%d: %s\n", opt_.bind.c_str(), opt_.port,
                 net::error_text(last_socket_error()).c_str());
    return false;
  }
  sockaddr_in meter_addr = addr;
  meter_addr.sin_port = 0;
  meter_fd_ = net::udp_on(meter_addr);
  if (meter_fd_ == net::kNoSocket) {
    std::fprintf(stderr, "mixsim: cannot bind the meter socket on %s: %s\n", opt_.bind.c_str(),
                 net::error_text(last_socket_error()).c_str());
    return false;
  }
  // Clients take the descriptors left under the limit but a few: the process never runs out of
  // them entirely, so whatever else needs one (the C library, a sanitizer's checks) still gets it.
  max_clients_ = net::client_limit(kSpareDescriptors);
  log_line("listening on %s:%d (TCP and UDP), meters at %g Hz%s", opt_.bind.c_str(), opt_.port, opt_.rate,
           opt_.animate ? ", animated" : "");
  return true;
}

void server::accept_clients(sim_clock::time_point now) {
  for (int i = 0; i < kAcceptsPerPass; ++i) {
    if (clients_.size() >= max_clients_) {
      log_line("%zu clients, as many as the descriptor limit allows: waiting until one leaves", clients_.size());
      accepting_ = false;
      accept_retry_ = now + kAcceptRetry;
      return;
    }
    sockaddr_in peer{};
    const net::socket_t fd = net::accept_client(listen_fd_, &peer);
    if (fd == net::kNoSocket) {
      const int error = last_socket_error();
      if (net::out_of_descriptors(error)) {
        log_line("cannot accept (%s) with %zu clients: waiting until one leaves", net::error_text(error).c_str(),
                 clients_.size());
        accepting_ = false;
        accept_retry_ = now + kAcceptRetry;
        return;
      }
      if (net::accept_again(error)) continue;
      return;
    }
    client& c = clients_.emplace_back();
    c.fd = fd;
    c.number = next_number_++;
    c.peer = peer;
    c.name = "#" + std::to_string(c.number) + " " + net::address_text(peer.sin_addr) + ":" +
             std::to_string(ntohs(peer.sin_port));
    c.connected = now;
    log_line("client %s connected", c.name.c_str());
  }
}

void server::answer_discovery() {
  for (int i = 0; i < kDatagramsPerPass; ++i) {
    unsigned char buf[512];
    sockaddr_in from{};
    const int n = net::receive_from(discovery_fd_, buf, sizeof buf, &from);
    if (n < 0) return;
    const std::string from_text = net::address_text(from.sin_addr);
    if (!is_discovery_probe(buf, n)) {
      log_line("discovery: ignored %d bytes from %s", n, from_text.c_str());
      continue;
    }
    // The reply names the address the requester reached. With a wildcard bind that is the
    // address this host sends from toward the requester, which the routing table tells.
    in_addr local{};
    net::parse_address(opt_.bind, &local);
    if (local.s_addr == htonl(INADDR_ANY)) net::local_address_toward(from, &local);
    const std::string reply = compose_discovery_reply(net::address_text(local).c_str(), id_);
    net::send_datagram_now(discovery_fd_, reply, from);
    log_line("discovery: %s asked, answered %s", from_text.c_str(), reply.c_str());
  }
}

void server::queue(client& c, const std::string& bytes, bool reply, sim_clock::time_point now) {
  faults_.queue(c.out, std::make_shared<const std::string>(frame_for_send(bytes)), reply, now);
}

const server::cached_reply& server::container_reply(uint32_t token) {
  if (cache_version_ != model_.version() || cached_bytes_ > kCacheBytes) {
    // Replies still queued for clients keep their buffers; the cache only lets go of them.
    container_replies_.clear();
    cached_bytes_ = 0;
    cache_version_ = model_.version();
  }
  auto [it, fresh] = container_replies_.try_emplace(token);
  if (fresh) {
    const std::string reply = compose_value_reply(model_, wingdataset[token].hash);
    it->second = {reply.size(), std::make_shared<const std::string>(frame_for_send(reply))};
    cached_bytes_ += it->second.framed->size();
  }
  return it->second;
}

void server::flush(client& c, sim_clock::time_point now) {
  const int most = faults_.one_segment_per_send() ? 1 : kChunksPerSend;
  while (!c.dead && !c.blocked && !c.out.empty() && c.out.front_due() <= now) {
    out_queue::chunk chunks[kChunksPerSend];
    const int n = c.out.due_chunks(now, chunks, most, faults_.send_allowance(c.sent));
    net::piece pieces[kChunksPerSend];
    size_t want = 0;
    for (int i = 0; i < n; ++i) {
      pieces[i] = {chunks[i].data, chunks[i].size};
      want += chunks[i].size;
    }
    const long sent = net::send_pieces(c.fd, pieces, n);
    if (sent < 0) {
      const int error = last_socket_error();
      if (mixlink::detail::error_would_block(error)) c.blocked = true;
      else if (!mixlink::detail::error_interrupted(error)) close_client(c, net::error_text(error).c_str());
      return;
    }
    c.sent += sent;
    c.out.consume(static_cast<size_t>(sent));
    if (faults_.sent_enough(c.sent)) {
      close_client(c, "--close-after-bytes reached");
      return;
    }
    // A short send means the socket's buffer is full.
    if (static_cast<size_t>(sent) < want) c.blocked = true;
  }
}

void server::release_held(client& c, sim_clock::time_point now) {
  if (c.held.empty() || c.blocked || over_bound(c)) return;
  std::string block;
  for (uint32_t t : c.held.release({})) block += compose_entry(model_, t);
  if (!block.empty()) queue(c, block, false, now);
}

void server::close_client(client& c, const char* why) {
  if (c.dead) return;
  log_line("client %s closed: %s", c.name.c_str(), why);
  mixlink::detail::drop_socket(c.fd);
  c.dead = true;
}

void server::read_client(client& c) {
  const int n = mixlink::detail::recv_bytes(c.fd, read_buffer_.data(), static_cast<int>(read_buffer_.size()));
  if (n == 0) {
    close_client(c, "disconnected");
    return;
  }
  if (n < 0) {
    const int error = last_socket_error();
    if (!mixlink::detail::error_would_block(error) && !mixlink::detail::error_interrupted(error))
      close_client(c, net::error_text(error).c_str());
    return;
  }
  parsed_.clear();
  const long dropped = c.stream.dropped;
  sim_feed(c.stream, read_buffer_.data(), static_cast<int>(n), parsed_);
  if (c.stream.dropped != dropped)
    log_line("client %s: skipped %ld bytes that form no request", c.name.c_str(), c.stream.dropped - dropped);
  for (sim_request& r : parsed_) c.waiting.push_back(std::move(r));
}

void server::handle_waiting(client& c, sim_clock::time_point now) {
  // Back-pressure: a client whose queue is over its bound gets no further replies composed (and
  // nothing more read) until it has taken some of what it asked for. One read can hold ten
  // thousand requests; the rest of them wait for the next pass, after the other clients.
  for (size_t n = 0; n < kRequestsPerPass && !c.dead && !c.waiting.empty() && !over_bound(c); ++n) {
    handle(c, c.waiting.front(), now);
    c.waiting.pop_front();
  }
}

void server::handle(client& c, const sim_request& r, sim_clock::time_point now) {
  switch (r.kind) {
    case sim_request::value: {
      if (faults_.ignores(r.hash)) {
        log_line("client %s: keep-alive ignored", c.name.c_str());
        return;
      }
      const uint32_t token = wGetTokenFromHash(r.hash);  // 0, row 0, for hash 0 and unknown hashes
      if (token != 0 && wingdataset[token].type == W_CONTAINER) {
        const cached_reply& cached = container_reply(token);
        log_line("client %s: value of %s (%zu bytes)", c.name.c_str(), wingdataset[token].path, cached.size);
        faults_.queue(c.out, cached.framed, true, now);
        return;
      }
      const std::string reply = compose_value_reply(model_, r.hash);
      if (reply.empty()) {
        log_line("client %s: value of unknown hash %08X, no reply", c.name.c_str(), r.hash);
        return;
      }
      log_line("client %s: value of %s (%zu bytes)", c.name.c_str(), wingdataset[token].path, reply.size());
      queue(c, reply, true, now);
      return;
    }
    case sim_request::definition: {
      const uint32_t token = wGetTokenFromHash(r.hash);
      const bool long_form = opt_.definitions == options::long_form ||
                             (opt_.definitions == options::mixed && token != 0 && wingdataset[token].type == W_CONTAINER);
      const std::string reply = compose_definition_reply(model_, r.hash, long_form);
      if (reply.empty()) {
        log_line("client %s: definition of unknown hash %08X, no reply", c.name.c_str(), r.hash);
        return;
      }
      if (!g_quiet) log_line("client %s: definition of %s: %s", c.name.c_str(), wingdataset[token].path, hex_of(reply).c_str());
      queue(c, reply, true, now);
      return;
    }
    case sim_request::map_size:
      log_line("client %s: map-size query", c.name.c_str());
      queue(c, compose_map_size_reply(), true, now);
      return;
    case sim_request::meter_port:
      c.meter_port = r.port;
      log_line("client %s: meter port %d", c.name.c_str(), r.port);
      return;
    case sim_request::subscribe: {
      if (!g_quiet) {
        std::string list;
        for (const auto& [g, i] : r.items) list += " " + hex_of(std::string{static_cast<char>(g)}) + "/" + std::to_string(i);
        log_line("client %s: subscription %d:%s", c.name.c_str(), r.id, list.empty() ? " (nothing)" : list.c_str());
      }
      if (const auto replaced = c.subs.subscribe(r.id, r.items, now))
        log_line("client %s: collection %d dropped for it (%zu at most)", c.name.c_str(), *replaced, kMaxSubscriptions);
      return;
    }
    case sim_request::renew:
      if (c.subs.renew(r.id, now)) log_line("client %s: renewal of collection %d", c.name.c_str(), r.id);
      else log_line("client %s: renewal of unknown collection %d ignored", c.name.c_str(), r.id);
      return;
  }
}

void server::meter_tick(sim_clock::time_point now) {
  int16_t bands[kRtaBands];
  rta_.frame(seconds(now), bands);
  ++meter_ticks_;
  for (client& c : clients_) {
    if (c.dead) continue;
    for (int32_t id : c.subs.lapse(now)) log_line("client %s: collection %d lapsed without renewal", c.name.c_str(), id);
    if (c.meter_port == 0) continue;
    const std::vector<subscription>& subs = c.subs.all();
    for (size_t k = 0; k < subs.size(); ++k) {
      // Starting one further along at each tick shares a budget that cannot pay for every
      // subscription among all of them.
      const subscription& s = subs[(k + meter_ticks_) % subs.size()];
      if (s.items.empty()) continue;
      const std::string d = compose_meter_datagram(s.id, s.items, bands, seconds(now), opt_.meters);
      // Over the client's budget the datagram is skipped: the next one carries the latest values.
      if (!c.budget.take(d.size(), now)) continue;
      sockaddr_in to = c.peer;
      to.sin_port = htons(static_cast<uint16_t>(c.meter_port));
      // A full socket buffer drops the datagram, as the network would.
      net::send_datagram_now(meter_fd_, d, to);
    }
  }
}

void server::animation_tick(sim_clock::time_point now) {
  const std::vector<uint32_t> changed = model_.animate(seconds(now));
  if (changed.empty()) return;
  for (client& c : clients_) {
    if (c.dead) continue;
    // A client that is not taking its bytes gets the latest value of each changed node once it
    // does, not every change it missed.
    if (c.blocked || over_bound(c)) {
      c.held.hold(changed);
      continue;
    }
    std::string block;
    for (uint32_t t : c.held.release(changed)) block += compose_entry(model_, t);
    queue(c, block, false, now);
  }
}

int server::run() {
  net::catch_stop_requests();

  const auto meter_period = std::chrono::duration_cast<sim_clock::duration>(std::chrono::duration<double>(1.0 / opt_.rate));
  std::vector<net::watch> fds;
  std::vector<client*> owners;
  while (!net::stop_requested()) {
    sim_clock::time_point now = sim_clock::now();
    // Timers first: they decide how long the wait may last.
    if (now >= next_meter_) {
      meter_tick(now);
      next_meter_ += meter_period;
      if (next_meter_ <= now) next_meter_ = now + meter_period;  // after a stall, do not burst
    }
    if (opt_.animate && now >= next_animation_) {
      animation_tick(now);
      next_animation_ = now + kAnimationStep;
    }
    if (!accepting_ && now >= accept_retry_) accepting_ = true;
    sim_clock::time_point wake = next_meter_;
    if (opt_.animate) wake = std::min(wake, next_animation_);
    if (!accepting_) wake = std::min(wake, accept_retry_);
    for (client& c : clients_) {
      if (c.dead) continue;
      if (const auto deadline = faults_.close_deadline(c.connected)) {
        if (now >= *deadline) {
          close_client(c, "--close-after-seconds reached");
          continue;
        }
        wake = std::min(wake, *deadline);
      }
      flush(c, now);
      handle_waiting(c, now);
      release_held(c, now);
      flush(c, now);
      if (c.dead) continue;
      if (!over_bound(c)) {
        c.full_since.reset();
      } else {
        if (!c.full_since) c.full_since = now;
        if (now - *c.full_since >= kFullQueueLimit) {
          const std::string why = "output queue over " + std::to_string(opt_.queue_bytes) + " bytes for " +
                                  std::to_string(kFullQueueLimit.count()) + " s (the client does not read)";
          close_client(c, why.c_str());
          continue;
        }
        wake = std::min(wake, *c.full_since + kFullQueueLimit);
      }
      if (!c.blocked && !c.out.empty()) wake = std::min(wake, c.out.front_due());
      if (!c.waiting.empty() && !over_bound(c)) wake = now;  // more requests to handle next pass
    }
    const size_t before = clients_.size();
    clients_.remove_if([](const client& c) { return c.dead; });
    if (clients_.size() < before) accepting_ = true;  // a descriptor is free again

    fds.clear();
    owners.clear();
    // The listening socket and the discovery socket come first; the listener only while accepting.
    fds.push_back({listen_fd_, accepting_, false});
    owners.push_back(nullptr);
    fds.push_back({discovery_fd_, true, false});
    owners.push_back(nullptr);
    for (client& c : clients_) {
      // Requests are read only when the last read's are all handled: that keeps what one client
      // has waiting to one read's worth.
      const bool reading = c.waiting.empty() && !over_bound(c);
      fds.push_back({c.fd, reading, c.blocked});
      owners.push_back(&c);
    }
    const auto wait = std::clamp(wake - sim_clock::now(), sim_clock::duration::zero(),
                                 std::chrono::duration_cast<sim_clock::duration>(kLongestWait));
    const int ready = net::wait(fds, wait);
    if (ready < 0) {
      std::fprintf(stderr, "mixsim: waiting for the sockets failed: %s\n", net::error_text(last_socket_error()).c_str());
      return 1;
    }
    // Under a steady flood the wait always finds sockets ready: look for a stop request here.
    if (net::stop_requested()) break;
    now = sim_clock::now();
    if (fds[0].readable) accept_clients(now);
    if (fds[1].readable) answer_discovery();
    for (size_t i = 2; i < fds.size(); ++i) {
      client& c = *owners[i];
      const net::watch& ev = fds[i];
      if (ev.writable) {
        c.blocked = false;
        flush(c, now);
      }
      if (c.dead) continue;
      if (ev.readable) {
        read_client(c);  // the requests are handled at the top of the next pass
      } else if (ev.broken) {
        // Reported even while its requests are not read: the connection is gone.
        close_client(c, "connection lost");
      }
    }
  }
  log_line("stopping");
  return 0;
}

}  // namespace mixsim
