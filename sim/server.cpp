// The server loop, its clients and the handling of their requests.
#include "server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <mixlink/dictionary.h>
#include <mixlink/protocol.h>

#include <algorithm>
#include <cerrno>
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

// The number of descriptors the process has open.
size_t open_descriptors() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n > 3 ? n - 3 : 0;  // ".", ".." and the directory's own descriptor
  }
  return 16;  // no /proc: a guess on the safe side
}

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

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
  for (client& c : clients_)
    if (c.fd >= 0) ::close(c.fd);
  for (int fd : {listen_fd_, discovery_fd_, meter_fd_})
    if (fd >= 0) ::close(fd);
}

bool server::open() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(opt_.port));
  if (inet_pton(AF_INET, opt_.bind.c_str(), &addr.sin_addr) != 1) {
    std::fprintf(stderr, "mixsim: --bind %s is not an IPv4 address\n", opt_.bind.c_str());
    return false;
  }
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  discovery_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  meter_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0 || discovery_fd_ < 0 || meter_fd_ < 0) {
    std::fprintf(stderr, "mixsim: cannot create sockets: %s\n", std::strerror(errno));
    return false;
  }
  const int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, kListenBacklog) != 0) {
    std::fprintf(stderr, "mixsim: cannot listen on TCP %s:%d: %s\n", opt_.bind.c_str(), opt_.port, std::strerror(errno));
    return false;
  }
  // The reply names the address the requester reached; with a wildcard bind that is known only
  // per datagram.
  setsockopt(discovery_fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
  if (bind(discovery_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "mixsim: cannot bind UDP %s:%d: %s\n", opt_.bind.c_str(), opt_.port, std::strerror(errno));
    return false;
  }
  sockaddr_in meter_addr = addr;
  meter_addr.sin_port = 0;
  if (bind(meter_fd_, reinterpret_cast<sockaddr*>(&meter_addr), sizeof meter_addr) != 0) {
    std::fprintf(stderr, "mixsim: cannot bind the meter socket on %s: %s\n", opt_.bind.c_str(), std::strerror(errno));
    return false;
  }
  // Clients take the descriptors left under the limit but a few: the process never runs out of
  // them entirely, so whatever else needs one (the C library, a sanitizer's checks) still gets it.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const size_t open_now = open_descriptors();
    max_clients_ = limit.rlim_cur > open_now + kSpareDescriptors ? limit.rlim_cur - open_now - kSpareDescriptors : 1;
  }
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
    socklen_t len = sizeof peer;
    const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        log_line("cannot accept (%s) with %zu clients: waiting until one leaves", std::strerror(errno), clients_.size());
        accepting_ = false;
        accept_retry_ = now + kAcceptRetry;
        return;
      }
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    client& c = clients_.emplace_back();
    c.fd = fd;
    c.number = next_number_++;
    c.peer = peer;
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    c.name = "#" + std::to_string(c.number) + " " + ip + ":" + std::to_string(ntohs(peer.sin_port));
    c.connected = now;
    log_line("client %s connected", c.name.c_str());
  }
}

void server::answer_discovery() {
  for (int i = 0; i < kDatagramsPerPass; ++i) {
    unsigned char buf[512];
    char control[256];
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(discovery_fd_, &msg, 0);
    if (n < 0) return;
    char from_ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, from_ip, sizeof from_ip);
    if (!is_discovery_probe(buf, static_cast<int>(n))) {
      log_line("discovery: ignored %zd bytes from %s", n, from_ip);
      continue;
    }
    in_addr local{};
    inet_pton(AF_INET, opt_.bind.c_str(), &local);
    for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm != nullptr; cm = CMSG_NXTHDR(&msg, cm)) {
      if (cm->cmsg_level == IPPROTO_IP && cm->cmsg_type == IP_PKTINFO) {
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(cm), sizeof info);
        local = info.ipi_spec_dst;
      }
    }
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &local, ip, sizeof ip);
    const std::string reply = compose_discovery_reply(ip, id_);
    sendto(discovery_fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    log_line("discovery: %s asked, answered %s", from_ip, reply.c_str());
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
    iovec iov[kChunksPerSend];
    size_t want = 0;
    for (int i = 0; i < n; ++i) {
      iov[i] = {const_cast<char*>(chunks[i].data), chunks[i].size};
      want += chunks[i].size;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(n);
    const ssize_t sent = sendmsg(c.fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) c.blocked = true;
      else if (errno != EINTR) close_client(c, std::strerror(errno));
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
  ::close(c.fd);
  c.fd = -1;
  c.dead = true;
}

void server::read_client(client& c) {
  const ssize_t n = recv(c.fd, read_buffer_.data(), read_buffer_.size(), MSG_DONTWAIT);
  if (n == 0) {
    close_client(c, "disconnected");
    return;
  }
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) close_client(c, std::strerror(errno));
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
      sendto(meter_fd_, d.data(), d.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to);
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
  sigset_t blocked, orig;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_BLOCK, &blocked, &orig);
  struct sigaction sa{};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigdelset(&orig, SIGINT);
  sigdelset(&orig, SIGTERM);

  const auto meter_period = std::chrono::duration_cast<sim_clock::duration>(std::chrono::duration<double>(1.0 / opt_.rate));
  std::vector<pollfd> fds;
  std::vector<client*> owners;
  while (g_stop == 0) {
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
    fds.push_back({accepting_ ? listen_fd_ : -1, POLLIN, 0});
    owners.push_back(nullptr);
    fds.push_back({discovery_fd_, POLLIN, 0});
    owners.push_back(nullptr);
    for (client& c : clients_) {
      // Requests are read only when the last read's are all handled: that keeps what one client
      // has waiting to one read's worth.
      const bool reading = c.waiting.empty() && !over_bound(c);
      fds.push_back({c.fd, static_cast<short>((reading ? POLLIN : 0) | (c.blocked ? POLLOUT : 0)), 0});
      owners.push_back(&c);
    }
    const auto wait = std::max(sim_clock::duration::zero(), wake - sim_clock::now());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    const int ready = ppoll(fds.data(), fds.size(), &ts, &orig);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "mixsim: poll failed: %s\n", std::strerror(errno));
      return 1;
    }
    // A ppoll that finds sockets ready returns without delivering a pending signal, so under a
    // steady flood SIGTERM would never arrive: look for it here.
    sigset_t pending;
    if (sigpending(&pending) == 0 && (sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1)) break;
    now = sim_clock::now();
    if (fds[0].revents & POLLIN) accept_clients(now);
    if (fds[1].revents & POLLIN) answer_discovery();
    for (size_t i = 2; i < fds.size(); ++i) {
      client& c = *owners[i];
      const short ev = fds[i].revents;
      if (ev & POLLOUT) {
        c.blocked = false;
        flush(c, now);
      }
      if (c.dead) continue;
      if (ev & POLLIN) {
        read_client(c);  // the requests are handled at the top of the next pass
      } else if (ev & (POLLHUP | POLLERR)) {
        // Reported even while its requests are not read: the connection is gone.
        close_client(c, "connection lost");
      }
    }
  }
  log_line("stopping");
  return 0;
}

}  // namespace mixsim
