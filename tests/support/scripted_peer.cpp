#include "scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <cstring>

#include <mixlink/link.h>

#include "link/wire.h"

namespace mixtest {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port, const char* address = "127.0.0.1") {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

bool send_all(int fd, const unsigned char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

}  // namespace

Bytes escaped(const Bytes& payload) {
  Bytes out(payload.size() * 2 + 2);
  std::copy(payload.begin(), payload.end(), out.begin());
  const int n = wSendEscapes(out.data(), static_cast<int>(payload.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes entry(uint32_t hash, const Bytes& token) {
  Bytes out(mixlink::wire::kEntryHeader);
  mixlink::wire::put_entry_header(out.data(), hash);
  out.insert(out.end(), token.begin(), token.end());
  return out;
}

std::vector<std::vector<std::size_t>> every_cut(std::size_t n) {
  std::vector<std::vector<std::size_t>> plans{{n}, std::vector<std::size_t>(n, 1)};
  for (std::size_t cut = 1; cut < n; ++cut) plans.push_back({cut, n - cut});
  return plans;
}

// ---- ScriptedPeer ----

ScriptedPeer::ScriptedPeer(int port) : port_(port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = loopback(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return;
  }
  if (port_ == 0) {
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  listen_fd_ = fd;
  thread_ = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  if (thread_.joinable()) thread_.join();
  if (client_fd_ >= 0) ::close(client_fd_);
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

void ScriptedPeer::push(Reply r) {
  std::lock_guard<std::mutex> lock(mu_);
  queue_.push_back(std::move(r));
}

void ScriptedPeer::close_client() {
  std::lock_guard<std::mutex> lock(mu_);
  drop_client_locked();
}

void ScriptedPeer::drop_client_locked() {
  if (client_fd_ >= 0) ::close(client_fd_);
  client_fd_ = -1;
  cv_.notify_all();
}

Bytes ScriptedPeer::received() const {
  std::lock_guard<std::mutex> lock(mu_);
  return total_;
}

Bytes ScriptedPeer::connection(std::size_t i) const {
  std::lock_guard<std::mutex> lock(mu_);
  return i < per_connection_.size() ? per_connection_[i] : Bytes{};
}

int ScriptedPeer::accepts() const {
  std::lock_guard<std::mutex> lock(mu_);
  return accepts_;
}

bool ScriptedPeer::connected() const {
  std::lock_guard<std::mutex> lock(mu_);
  return client_fd_ >= 0;
}

void ScriptedPeer::clear_received() {
  std::lock_guard<std::mutex> lock(mu_);
  total_.clear();
  for (Bytes& b : per_connection_) b.clear();
  mark_ = 0;
}

bool ScriptedPeer::wait_received(std::size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return total_.size() >= n; });
}

bool ScriptedPeer::wait_accepts(int n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return accepts_ >= n; });
}

bool ScriptedPeer::wait_replies_sent(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return queue_.empty(); });
}

// Sends every reply at the head of the queue whose byte condition is met. Pauses between
// segments happen with the lock released so tests can read the record meanwhile.
void ScriptedPeer::pump_replies(std::unique_lock<std::mutex>& lock) {
  while (client_fd_ >= 0 && !queue_.empty()) {
    const std::size_t have = per_connection_.empty() ? 0 : per_connection_.back().size();
    if (have < mark_ + queue_.front().after) return;
    Reply r = std::move(queue_.front());
    queue_.pop_front();
    mark_ = have;
    const int fd = client_fd_;
    const int connection = accepts_;
    lock.unlock();
    std::size_t pos = 0;
    bool first = true;
    bool sent = true;
    auto segment = [&](std::size_t n) {
      if (!first && r.pause_ms > 0 && sent) std::this_thread::sleep_for(std::chrono::milliseconds(r.pause_ms));
      first = false;
      {
        // A reply outlives neither its connection (whose descriptor number a new one may reuse)
        // nor the peer.
        std::lock_guard<std::mutex> check(mu_);
        if (stop_ || client_fd_ != fd || accepts_ != connection) sent = false;
      }
      if (n > 0 && sent) sent = send_all(fd, r.bytes.data() + pos, n);
      pos += n;
    };
    for (std::size_t s : r.segments) segment(std::min(s, r.bytes.size() - pos));
    if (pos < r.bytes.size() || r.segments.empty()) segment(r.bytes.size() - pos);
    lock.lock();
    if (r.close_after && client_fd_ == fd) drop_client_locked();
    cv_.notify_all();
  }
}

void ScriptedPeer::run() {
  std::unique_lock<std::mutex> lock(mu_);
  unsigned char buf[4096];
  while (!stop_) {
    pollfd p{};
    p.fd = client_fd_ >= 0 ? client_fd_ : listen_fd_;
    p.events = POLLIN;
    lock.unlock();
    const int r = ::poll(&p, 1, 5);
    lock.lock();
    if (stop_) break;
    if (r > 0 && p.fd == listen_fd_ && client_fd_ < 0) {
      const int c = ::accept(listen_fd_, nullptr, nullptr);
      if (c >= 0) {
        // Every scripted segment goes out as its own segment, as the test cut it.
        const int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        client_fd_ = c;
        ++accepts_;
        per_connection_.emplace_back();
        mark_ = 0;
        cv_.notify_all();
      }
    } else if (r > 0 && p.fd == client_fd_) {
      const ssize_t n = ::recv(client_fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        drop_client_locked();
      } else {
        total_.insert(total_.end(), buf, buf + n);
        per_connection_.back().insert(per_connection_.back().end(), buf, buf + n);
        cv_.notify_all();
      }
    }
    pump_replies(lock);
  }
}

// ---- UdpPeer ----

UdpPeer::UdpPeer(int port, const char* address) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = loopback(port, address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  fd_ = fd;
}

UdpPeer::~UdpPeer() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<Datagram> UdpPeer::receive(int timeout_ms) {
  if (fd_ < 0) return std::nullopt;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
  unsigned char buf[65536];
  Datagram d;
  socklen_t len = sizeof d.from;
  const ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&d.from), &len);
  if (n < 0) return std::nullopt;
  d.bytes.assign(buf, buf + n);
  return d;
}

bool UdpPeer::send_to(int port, const Bytes& bytes, const char* address) {
  sockaddr_in a = loopback(port, address);
  return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
         static_cast<ssize_t>(bytes.size());
}

bool UdpPeer::reply(const Datagram& d, const Bytes& bytes) {
  return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&d.from),
                  sizeof d.from) == static_cast<ssize_t>(bytes.size());
}

int open_fd_count() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int n = 0;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n - 3;  // ".", ".." and the directory's own descriptor
}

long resident_kib() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    long v = 0;
    if (key == "VmRSS:" && in >> v) return v;
    in.ignore(1 << 12, '\n');
  }
  return -1;
}

}  // namespace mixtest
