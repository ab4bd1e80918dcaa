// SPDX-License-Identifier: MIT
#include "scripted_peer.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/tcp.h>
#endif

#include <chrono>
#include <ctime>
#include <fstream>
#include <string>
#include <cstring>

#include <mixlink/link.h>

#include "link/wire.h"

namespace mixtest {

namespace {

namespace detail = mixlink::detail;
using detail::kNoSocket;
using Clock = std::chrono::steady_clock;

bool send_all(socket_t fd, const unsigned char* p, std::size_t n) {
  while (n > 0) {
    const int k = detail::send_bytes(fd, p, static_cast<int>(n));
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

}  // namespace

sockaddr_in loopback(int port, const char* address) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

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
  socket_t fd = detail::open_socket(true);
  if (fd == kNoSocket) return;
  detail::set_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  sockaddr_in a = loopback(port);
  if (detail::bind_to(fd, a) != 0 || ::listen(fd, 8) != 0) {
    detail::drop_socket(fd);
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
  detail::drop_socket(client_fd_);
  detail::drop_socket(listen_fd_);
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
  detail::drop_socket(client_fd_);
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
  return client_fd_ != kNoSocket;
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
  while (client_fd_ != kNoSocket && !queue_.empty()) {
    const std::size_t have = per_connection_.empty() ? 0 : per_connection_.back().size();
    if (have < mark_ + queue_.front().after) return;
    Reply r = std::move(queue_.front());
    queue_.pop_front();
    mark_ = have;
    const socket_t fd = client_fd_;
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
    const socket_t watched = client_fd_ != kNoSocket ? client_fd_ : listen_fd_;
    lock.unlock();
    detail::wait_set set;
    const int r = detail::wait_readable(watched, &set, 5000);
    lock.lock();
    if (stop_) break;
    if (r > 0 && watched == listen_fd_ && client_fd_ == kNoSocket) {
      const socket_t c = ::accept(listen_fd_, nullptr, nullptr);
      if (c != kNoSocket) {
        // Every scripted segment goes out as its own segment, as the test cut it.
        detail::set_option(c, IPPROTO_TCP, TCP_NODELAY, 1);
        client_fd_ = c;
        ++accepts_;
        per_connection_.emplace_back();
        mark_ = 0;
        cv_.notify_all();
      }
    } else if (r > 0 && watched == client_fd_) {
      const int n = detail::recv_bytes(client_fd_, buf, sizeof buf);
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
  socket_t fd = detail::open_socket(false);
  if (fd == kNoSocket) return;
  detail::set_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  sockaddr_in a = loopback(port, address);
  if (detail::bind_to(fd, a) != 0) {
    detail::drop_socket(fd);
    return;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  fd_ = fd;
}

UdpPeer::~UdpPeer() { detail::drop_socket(fd_); }

std::optional<Datagram> UdpPeer::receive(int timeout_ms) {
  if (fd_ == kNoSocket) return std::nullopt;
  detail::wait_set set;
  if (detail::wait_readable(fd_, &set, timeout_ms * 1000) <= 0) return std::nullopt;
  static unsigned char buf[65536];
  Datagram d;
  socklen_t len = sizeof d.from;
  const int n = static_cast<int>(
      ::recvfrom(fd_, reinterpret_cast<char*>(buf), sizeof buf, 0, reinterpret_cast<sockaddr*>(&d.from), &len));
  if (n < 0) return std::nullopt;
  d.bytes.assign(buf, buf + n);
  return d;
}

bool UdpPeer::send_to(int port, const Bytes& bytes, const char* address) {
  const int n = static_cast<int>(bytes.size());
  return detail::send_datagram(fd_, bytes.data(), n, loopback(port, address)) == n;
}

bool UdpPeer::reply(const Datagram& d, const Bytes& bytes) {
  const int n = static_cast<int>(bytes.size());
  return detail::send_datagram(fd_, bytes.data(), n, d.from) == n;
}

void bound_receives(socket_t s, int seconds) {
#ifdef _WIN32
  const DWORD ms = static_cast<DWORD>(seconds) * 1000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
#else
  timeval tv{seconds, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
#endif
}

int open_fd_count() {
#ifdef _WIN32
  // Sockets are handles there: the process's handle count moves with them.
  DWORD handles = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &handles) ? static_cast<int>(handles) : -1;
#else
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int n = 0;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n - 3;  // ".", ".." and the directory's own descriptor
#endif
}

double process_cpu_seconds() {
#ifdef _WIN32
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
  auto seconds = [](const FILETIME& f) {
    return static_cast<double>((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
#else
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
#endif
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
