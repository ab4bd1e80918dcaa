// mixsim: a simulated console on the native protocol, for demos and tests without hardware.
// One process, one poll loop over the listening socket, the discovery socket and every client;
// timers are the loop's time-outs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mixlink/dictionary.h>
#include <mixlink/protocol.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "compose.h"
#include "model.h"
#include "stream.h"

using namespace mixsim;
using clock_type = std::chrono::steady_clock;
using time_point = clock_type::time_point;
using std::chrono::milliseconds;

namespace {

const char kUsage[] =
    "usage: mixsim [options]\n"
    "A simulated console speaking the native protocol: TCP and UDP port 2222 on the bind address,\n"
    "meter datagrams to each client's address at the UDP port it names.\n"
    "\n"
    "  --bind ADDR              address to listen on (default 127.0.0.1; 0.0.0.0 only when asked)\n"
    "  --port N                 native and discovery port (default 2222)\n"
    "  --rate HZ                meter datagrams per second and subscription (default 20)\n"
    "  --animate                move ch.1's fader and mute and a meter-like level, sent as events\n"
    "  --quiet                  no log lines on standard error\n"
    "  --seed N                 seed of the meter noise and the fault injection (default 1)\n"
    "  --definitions FORM       short, long or mixed (default: long for containers, short for leaves)\n"
    "  --list-codes             print which leaf carries which value-token code, and exit\n"
    "fault injection:\n"
    "  --split N                send every reply in segments of N bytes, 5 ms apart\n"
    "  --latency MS             delay every reply and event by MS milliseconds\n"
    "  --close-after-seconds S  close each client S seconds after it connected\n"
    "  --close-after-bytes N    close each client once N bytes have been sent to it\n"
    "  --garbage                before each reply send junk or another node's entry, 20 ms ahead\n"
    "  --short-meters           cut meter datagrams to 100 bytes\n"
    "  --long-meters            add 76 bytes to every meter datagram\n"
    "  --ignore-keepalive       do not answer requests for $syscfg.consolename\n"
    "\n"
    "Replies: a leaf's value request gets 0xD7 hash value; a container's one such entry per leaf\n"
    "below it, then the byte 0xDE; an unknown hash gets nothing. The map-size query 0xDA 0xDC gets\n"
    "0xDA, then the row and leaf counts as 0xD4 tokens. Definition replies begin 0xDF: short form\n"
    "DF len(2) parent(4) hash(4) definition, long form DF 00 00 len(4) parent(4) hash(4) definition;\n"
    "the definition is the node type, a layout byte (1 int range, 2 float range, 3 text, 4 choices,\n"
    "5 container, 6 node reference) and its fields as value tokens.\n"
    "Meter datagrams: collection id (4 bytes), then per subscribed item 120 band values for the RTA\n"
    "(group 0xAA item 0) or 4 levels, all signed 16-bit big-endian. A subscription lapses 10 s after\n"
    "its last renewal. SIGTERM or SIGINT end mixsim with status 0.\n";

struct options {
  std::string bind = "127.0.0.1";
  int port = mixlink::kNativePort;
  double rate = 20.0;
  bool animate = false, quiet = false, garbage = false, ignore_keepalive = false, list_codes = false;
  unsigned seed = 1;
  int split = 0, latency_ms = 0;
  double close_after_seconds = 0;
  long close_after_bytes = 0;
  meter_shape meters = meter_shape::normal;
  enum { mixed, short_form, long_form } definitions = mixed;
};

constexpr milliseconds kSplitPause{5};
constexpr milliseconds kGarbageLead{20};
constexpr milliseconds kAnimationStep{100};
constexpr double kSubscriptionLife = 10.0;  // seconds without renewal

struct segment {
  time_point due;
  std::string bytes;
};

struct subscription {
  int32_t id;
  std::vector<std::pair<unsigned char, unsigned char>> items;
  time_point renewed;
};

struct client {
  int fd = -1;
  int number = 0;
  sockaddr_in peer{};
  std::string name;  // "#n ip:port" for the log
  client_stream stream;
  std::deque<segment> out;
  size_t front_sent = 0;
  long sent = 0;
  time_point connected;
  bool blocked = false;  // the socket refused bytes; wait for POLLOUT
  bool dead = false;
  int meter_port = 0;
  std::vector<subscription> subs;
};

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

bool parse_number(const char* s, double lo, double hi, double* out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(s, &end);
  if (errno != 0 || end == s || *end != '\0' || !(v >= lo && v <= hi)) return false;
  *out = v;
  return true;
}

// Returns 0 to run, 1 for a usage error, 2 after --help.
int parse_options(int argc, char** argv, options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](double lo, double hi, double* out) -> bool {
      if (i + 1 >= argc || !parse_number(argv[i + 1], lo, hi, out)) {
        std::fprintf(stderr, "mixsim: %s needs a number from %g to %g\n", a.c_str(), lo, hi);
        return false;
      }
      ++i;
      return true;
    };
    double v = 0;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 2;
    } else if (a == "--bind") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "mixsim: --bind needs an IPv4 address\n");
        return 1;
      }
      o.bind = argv[++i];
    } else if (a == "--port") {
      if (!value(1, 65535, &v)) return 1;
      o.port = static_cast<int>(v);
    } else if (a == "--rate") {
      if (!value(0.1, 1000, &v)) return 1;
      o.rate = v;
    } else if (a == "--seed") {
      if (!value(0, 4294967295.0, &v)) return 1;
      o.seed = static_cast<unsigned>(v);
    } else if (a == "--split") {
      if (!value(1, 1 << 20, &v)) return 1;
      o.split = static_cast<int>(v);
    } else if (a == "--latency") {
      if (!value(0, 60000, &v)) return 1;
      o.latency_ms = static_cast<int>(v);
    } else if (a == "--close-after-seconds") {
      if (!value(0.001, 86400, &v)) return 1;
      o.close_after_seconds = v;
    } else if (a == "--close-after-bytes") {
      if (!value(1, 1e12, &v)) return 1;
      o.close_after_bytes = static_cast<long>(v);
    } else if (a == "--definitions") {
      const std::string f = i + 1 < argc ? argv[++i] : "";
      if (f == "short") o.definitions = options::short_form;
      else if (f == "long") o.definitions = options::long_form;
      else if (f == "mixed") o.definitions = options::mixed;
      else {
        std::fprintf(stderr, "mixsim: --definitions takes short, long or mixed\n");
        return 1;
      }
    } else if (a == "--animate") {
      o.animate = true;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--garbage") {
      o.garbage = true;
    } else if (a == "--short-meters") {
      o.meters = meter_shape::short_datagram;
    } else if (a == "--long-meters") {
      o.meters = meter_shape::long_datagram;
    } else if (a == "--ignore-keepalive") {
      o.ignore_keepalive = true;
    } else if (a == "--list-codes") {
      o.list_codes = true;
    } else {
      std::fprintf(stderr, "mixsim: unknown option %s (see --help)\n", a.c_str());
      return 1;
    }
  }
  return 0;
}

std::string hex_of(const std::string& bytes) {
  std::string s;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%s%02X", s.empty() ? "" : " ", c);
    s += b;
  }
  return s;
}

class server {
 public:
  server(const options& o) : opt_(o), model_(o.seed), rta_(o.seed), rng_(o.seed) {}
  ~server();
  // Opens the sockets; returns false after printing why.
  bool open();
  // Runs until a signal arrives; returns the exit status.
  int run();

 private:
  void accept_clients();
  void answer_discovery();
  void read_client(client& c);
  void handle(client& c, const sim_request& r);
  void queue(client& c, const std::string& bytes, bool reply);
  void queue_framed(client& c, const std::string& framed, bool reply);
  struct cached_reply {
    size_t size;  // before framing
    std::string framed;
  };
  const cached_reply& container_reply(uint32_t token);
  void flush(client& c, time_point now);
  void close_client(client& c, const char* why);
  void meter_tick(time_point now);
  void animation_tick(time_point now);
  std::string foreign_traffic();
  double seconds(time_point t) const { return std::chrono::duration<double>(t - start_).count(); }

  options opt_;
  console_model model_;
  rta_generator rta_;
  std::mt19937 rng_;
  identity id_;
  int listen_fd_ = -1, discovery_fd_ = -1, meter_fd_ = -1;
  std::list<client> clients_;
  // Framed container replies by token, all composed at model version cache_version_: a large
  // container read again and again costs its composition once per change of any value.
  std::unordered_map<uint32_t, cached_reply> container_replies_;
  uint64_t cache_version_ = 0;
  size_t cached_bytes_ = 0;
  int next_number_ = 1;
  time_point start_ = clock_type::now();
  time_point next_meter_ = start_, next_animation_ = start_;
};

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
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_fd_, 16) != 0) {
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
  log_line("listening on %s:%d (TCP and UDP), meters at %g Hz%s", opt_.bind.c_str(), opt_.port, opt_.rate,
           opt_.animate ? ", animated" : "");
  return true;
}

void server::accept_clients() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    client& c = clients_.emplace_back();
    c.fd = fd;
    c.number = next_number_++;
    c.peer = peer;
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    c.name = "#" + std::to_string(c.number) + " " + ip + ":" + std::to_string(ntohs(peer.sin_port));
    c.connected = clock_type::now();
    log_line("client %s connected", c.name.c_str());
  }
}

void server::answer_discovery() {
  for (;;) {
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

std::string server::foreign_traffic() {
  // Either bytes that begin no reply, or another leaf's entry: a client waiting for its own reply
  // must pass over both.
  std::uniform_int_distribution<int> pick(1, wds_imax - 1);
  if (rng_() % 2 == 0) {
    std::string junk;
    const int n = 3 + static_cast<int>(rng_() % 6);
    for (int i = 0; i < n; ++i) junk.push_back(static_cast<char>(1 + rng_() % 0x3F));
    return junk;
  }
  for (;;) {
    const uint32_t t = static_cast<uint32_t>(pick(rng_));
    if (wingdataset[t].type >= W_INTEGER) return compose_entry(model_, t);
  }
}

void server::queue(client& c, const std::string& bytes, bool reply) { queue_framed(c, frame_for_send(bytes), reply); }

void server::queue_framed(client& c, const std::string& framed, bool reply) {
  const time_point now = clock_type::now();
  time_point due = now + milliseconds(opt_.latency_ms);
  if (!c.out.empty()) due = std::max(due, c.out.back().due);
  if (reply && opt_.garbage) {
    c.out.push_back({due, frame_for_send(foreign_traffic())});
    due += kGarbageLead;
  }
  if (opt_.split <= 0) {
    c.out.push_back({due, framed});
    return;
  }
  for (size_t at = 0; at < framed.size(); at += static_cast<size_t>(opt_.split)) {
    c.out.push_back({due, framed.substr(at, static_cast<size_t>(opt_.split))});
    due += kSplitPause;
  }
}

const server::cached_reply& server::container_reply(uint32_t token) {
  constexpr size_t kCacheBytes = 16 << 20;
  if (cache_version_ != model_.version() || cached_bytes_ > kCacheBytes) {
    container_replies_.clear();
    cached_bytes_ = 0;
    cache_version_ = model_.version();
  }
  auto [it, fresh] = container_replies_.try_emplace(token);
  if (fresh) {
    const std::string reply = compose_value_reply(model_, wingdataset[token].hash);
    it->second = {reply.size(), frame_for_send(reply)};
    cached_bytes_ += it->second.framed.size();
  }
  return it->second;
}

void server::flush(client& c, time_point now) {
  while (!c.dead && !c.out.empty() && c.out.front().due <= now) {
    segment& s = c.out.front();
    size_t want = s.bytes.size() - c.front_sent;
    if (opt_.close_after_bytes > 0)
      want = std::min(want, static_cast<size_t>(opt_.close_after_bytes - c.sent));
    const ssize_t n = send(c.fd, s.bytes.data() + c.front_sent, want, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        c.blocked = true;
        return;
      }
      close_client(c, std::strerror(errno));
      return;
    }
    c.blocked = false;
    c.sent += n;
    c.front_sent += static_cast<size_t>(n);
    if (opt_.close_after_bytes > 0 && c.sent >= opt_.close_after_bytes) {
      close_client(c, "--close-after-bytes reached");
      return;
    }
    if (c.front_sent == s.bytes.size()) {
      c.out.pop_front();
      c.front_sent = 0;
    }
  }
}

void server::close_client(client& c, const char* why) {
  if (c.dead) return;
  log_line("client %s closed: %s", c.name.c_str(), why);
  ::close(c.fd);
  c.fd = -1;
  c.dead = true;
}

void server::read_client(client& c) {
  unsigned char buf[4096];
  for (;;) {
    const ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) {
      close_client(c, "disconnected");
      return;
    }
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) close_client(c, std::strerror(errno));
      return;
    }
    std::vector<sim_request> requests;
    const long dropped = c.stream.dropped;
    sim_feed(c.stream, buf, static_cast<int>(n), requests);
    if (c.stream.dropped != dropped)
      log_line("client %s: skipped %ld bytes that form no request", c.name.c_str(), c.stream.dropped - dropped);
    for (const sim_request& r : requests) {
      handle(c, r);
      if (c.dead) return;
    }
  }
}

void server::handle(client& c, const sim_request& r) {
  const time_point now = clock_type::now();
  switch (r.kind) {
    case sim_request::value: {
      const char* path = wGetNameFromHash(r.hash);
      if (opt_.ignore_keepalive && r.hash == 0xC9CB20E0u) {
        log_line("client %s: keep-alive ignored", c.name.c_str());
        return;
      }
      const uint32_t token = wGetTokenFromHash(r.hash);  // 0, row 0, for hash 0 and unknown hashes
      if (token != 0 && wingdataset[token].type == W_CONTAINER) {
        const cached_reply& cached = container_reply(token);
        log_line("client %s: value of %s (%zu bytes)", c.name.c_str(), path, cached.size);
        queue_framed(c, cached.framed, true);
        return;
      }
      const std::string reply = compose_value_reply(model_, r.hash);
      if (reply.empty()) {
        log_line("client %s: value of unknown hash %08X, no reply", c.name.c_str(), r.hash);
        return;
      }
      log_line("client %s: value of %s (%zu bytes)", c.name.c_str(), path, reply.size());
      queue(c, reply, true);
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
      log_line("client %s: definition of %s: %s", c.name.c_str(), wingdataset[token].path, hex_of(reply).c_str());
      queue(c, reply, true);
      return;
    }
    case sim_request::map_size:
      log_line("client %s: map-size query", c.name.c_str());
      queue(c, compose_map_size_reply(), true);
      return;
    case sim_request::meter_port:
      c.meter_port = r.port;
      log_line("client %s: meter port %d", c.name.c_str(), r.port);
      return;
    case sim_request::subscribe: {
      auto it = std::find_if(c.subs.begin(), c.subs.end(), [&](const subscription& s) { return s.id == r.id; });
      if (it == c.subs.end()) it = c.subs.insert(c.subs.end(), subscription{r.id, {}, now});
      it->items = r.items;
      it->renewed = now;
      std::string list;
      for (const auto& [g, i] : r.items) list += " " + hex_of(std::string{static_cast<char>(g)}) + "/" + std::to_string(i);
      log_line("client %s: subscription %d:%s", c.name.c_str(), r.id, list.empty() ? " (nothing)" : list.c_str());
      return;
    }
    case sim_request::renew: {
      auto it = std::find_if(c.subs.begin(), c.subs.end(), [&](const subscription& s) { return s.id == r.id; });
      if (it == c.subs.end()) {
        log_line("client %s: renewal of unknown collection %d ignored", c.name.c_str(), r.id);
        return;
      }
      it->renewed = now;
      log_line("client %s: renewal of collection %d", c.name.c_str(), r.id);
      return;
    }
  }
}

void server::meter_tick(time_point now) {
  int16_t bands[kRtaBands];
  rta_.frame(seconds(now), bands);
  for (client& c : clients_) {
    if (c.dead) continue;
    for (auto it = c.subs.begin(); it != c.subs.end();) {
      if (std::chrono::duration<double>(now - it->renewed).count() > kSubscriptionLife) {
        log_line("client %s: collection %d lapsed without renewal", c.name.c_str(), it->id);
        it = c.subs.erase(it);
        continue;
      }
      if (c.meter_port != 0 && !it->items.empty()) {
        const std::string d = compose_meter_datagram(it->id, it->items, bands, seconds(now), opt_.meters);
        sockaddr_in to = c.peer;
        to.sin_port = htons(static_cast<uint16_t>(c.meter_port));
        sendto(meter_fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      }
      ++it;
    }
  }
}

void server::animation_tick(time_point now) {
  const std::vector<uint32_t> changed = model_.animate(seconds(now));
  std::string block;
  for (uint32_t t : changed) block += compose_entry(model_, t);
  if (block.empty()) return;
  for (client& c : clients_)
    if (!c.dead) queue(c, block, false);
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

  const auto meter_period = std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(1.0 / opt_.rate));
  std::vector<pollfd> fds;
  std::vector<client*> owners;
  while (g_stop == 0) {
    time_point now = clock_type::now();
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
    time_point wake = next_meter_;
    if (opt_.animate) wake = std::min(wake, next_animation_);
    for (client& c : clients_) {
      if (c.dead) continue;
      if (opt_.close_after_seconds > 0) {
        const auto deadline = c.connected + std::chrono::duration_cast<clock_type::duration>(
                                                std::chrono::duration<double>(opt_.close_after_seconds));
        if (now >= deadline) {
          close_client(c, "--close-after-seconds reached");
          continue;
        }
        wake = std::min(wake, deadline);
      }
      flush(c, now);
      if (!c.dead && !c.blocked && !c.out.empty()) wake = std::min(wake, c.out.front().due);
    }
    clients_.remove_if([](const client& c) { return c.dead; });

    fds.clear();
    owners.clear();
    fds.push_back({listen_fd_, POLLIN, 0});
    owners.push_back(nullptr);
    fds.push_back({discovery_fd_, POLLIN, 0});
    owners.push_back(nullptr);
    for (client& c : clients_) {
      fds.push_back({c.fd, static_cast<short>(POLLIN | (c.blocked ? POLLOUT : 0)), 0});
      owners.push_back(&c);
    }
    const auto wait = std::max(clock_type::duration::zero(), wake - clock_type::now());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    const int ready = ppoll(fds.data(), fds.size(), &ts, &orig);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "mixsim: poll failed: %s\n", std::strerror(errno));
      return 1;
    }
    if (fds[0].revents & POLLIN) accept_clients();
    if (fds[1].revents & POLLIN) answer_discovery();
    now = clock_type::now();
    for (size_t i = 2; i < fds.size(); ++i) {
      client& c = *owners[i];
      if (fds[i].revents & POLLOUT) {
        c.blocked = false;
        flush(c, now);
      }
      if (!c.dead && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) read_client(c);
    }
  }
  log_line("stopping");
  return 0;
}

void list_codes(const console_model& model) {
  std::printf("%-5s %-30s %-32s %s\n", "code", "class", "path", "value token");
  for (const code_example& ex : model.code_examples()) {
    const char* path = ex.token != 0 ? wingdataset[ex.token].path : "(none)";
    std::printf("0x%02X  %-30s %-32s %s\n", ex.code, ex.what, path, hex_of(model.value(ex.token)).c_str());
  }
  auto animated = [&](const char* what, uint32_t t) {
    std::printf("animated %-8s %s\n", what, t != 0 ? wingdataset[t].path : "(none)");
  };
  animated("fader", model.fader_token());
  animated("mute", model.mute_token());
  animated("level", model.gain_token());
}

}  // namespace

int main(int argc, char** argv) {
  options opt;
  const int parsed = parse_options(argc, argv, opt);
  if (parsed == 2) return 0;
  if (parsed != 0) return 1;
  g_quiet = opt.quiet;
  if (opt.list_codes) {
    list_codes(console_model(opt.seed));
    return 0;
  }
  server s(opt);
  if (!s.open()) return 1;
  return s.run();
}
