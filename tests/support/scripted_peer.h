// SPDX-License-Identifier: MIT
// A scripted console for exact-byte tests: a real TCP server on loopback that records what it
// receives and answers from a queue of replies, plus a small UDP helper.
//
// Typical use:
//   mixtest::ScriptedPeer peer;                       // listens on 127.0.0.1:2222
//   peer.reply(mixtest::escaped({0xD7, ...}), 6);     // answer once 6 more bytes have arrived
//   ... run the library against "127.0.0.1" ...
//   peer.wait_received(14);
//   EXPECT_EQ(peer.received(), expected_bytes);
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "link/platform.h"

namespace mixtest {

using Bytes = std::vector<unsigned char>;
// A socket of the test's peers, as the library's platform seam knows it.
using socket_t = mixlink::detail::socket_t;

// The IPv4 socket address of port at address (dotted text), loopback unless told otherwise.
sockaddr_in loopback(int port, const char* address = "127.0.0.1");

// The payload as the console would put it on the wire: escaped with the library's own encoder.
Bytes escaped(const Bytes& payload);

// Concatenates byte strings (handy for building expected streams).
Bytes cat(std::initializer_list<Bytes> parts);

// One reply entry or event as the console sends it, before escaping: 0xD7, the node hash
// big-endian, then the value token.
Bytes entry(uint32_t hash, const Bytes& token);

// The ways to cut n bytes that the stream tests go through: whole, byte by byte, and in two at
// every position; each plan lists the sizes of the pieces.
std::vector<std::vector<std::size_t>> every_cut(std::size_t n);

// One scripted answer. It is sent once the current connection has received `after` more bytes
// than it had when the previous reply went out (or when the connection was accepted); after = 0
// sends it as soon as it is at the head of the queue and a client is connected.
struct Reply {
  Bytes bytes;                   // sent as they stand: build them with escaped()
  std::size_t after = 0;         // bytes the peer must receive first
  std::vector<std::size_t> segments;  // optional sizes to split the send into (rest goes last)
  int pause_ms = 0;              // pause before each segment after the first
  bool close_after = false;      // close the client once the bytes are sent (bytes may be empty)
};

// TCP server on 127.0.0.1:port, on its own thread. Accepts one client at a time and accepts again
// after that client goes away, so a reconnecting library finds it. Replies left in the queue when a
// connection ends wait for the next connection.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(int port = 2222);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // True when the listening socket was set up.
  bool ok() const { return listen_fd_ != mixlink::detail::kNoSocket; }
  int port() const { return port_; }

  // Queues a reply (see Reply).
  void push(Reply r);
  void reply(Bytes bytes, std::size_t after = 0) { push(Reply{std::move(bytes), after, {}, 0, false}); }
  // Queues a close of the client once `after` more bytes have arrived.
  void close_after(std::size_t after = 0) { push(Reply{{}, after, {}, 0, true}); }
  // Closes the current client now (no-op without one).
  void close_client();

  // Every byte received, over all connections, in order.
  Bytes received() const;
  // The bytes received on connection i (0 = first accepted); empty when there is no such one.
  Bytes connection(std::size_t i) const;
  // Number of connections accepted so far.
  int accepts() const;
  // True while a client is connected.
  bool connected() const;
  // Forgets the recorded bytes (not the accept count or the queue).
  void clear_received();

  // Waits until at least n bytes in total have arrived; false on time-out.
  bool wait_received(std::size_t n, int timeout_ms = 3000) const;
  // Waits until at least n connections have been accepted; false on time-out.
  bool wait_accepts(int n, int timeout_ms = 3000) const;
  // Waits until the reply queue is empty (every reply sent); false on time-out.
  bool wait_replies_sent(int timeout_ms = 3000) const;

 private:
  void run();
  void pump_replies(std::unique_lock<std::mutex>& lock);
  void drop_client_locked();

  int port_;
  socket_t listen_fd_ = mixlink::detail::kNoSocket;
  socket_t client_fd_ = mixlink::detail::kNoSocket;
  bool stop_ = false;
  std::size_t mark_ = 0;  // bytes of the current connection when the last reply went out
  Bytes total_;
  std::vector<Bytes> per_connection_;
  std::deque<Reply> queue_;
  int accepts_ = 0;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::thread thread_;
};

// A datagram and where it came from.
struct Datagram {
  Bytes bytes;
  sockaddr_in from{};
};

// A UDP socket bound on loopback (port 0 picks a free one) for sending and receiving datagrams.
class UdpPeer {
 public:
  explicit UdpPeer(int port = 0, const char* address = "127.0.0.1");
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  bool ok() const { return fd_ != mixlink::detail::kNoSocket; }
  int port() const { return port_; }
  socket_t fd() const { return fd_; }

  // Receives one datagram within timeout_ms; nullopt on time-out or error.
  std::optional<Datagram> receive(int timeout_ms = 3000);
  // Sends bytes as one datagram to address:port; true when all were sent.
  bool send_to(int port, const Bytes& bytes, const char* address = "127.0.0.1");
  // Sends bytes back to where d came from; true when all were sent.
  bool reply(const Datagram& d, const Bytes& bytes);

 private:
  socket_t fd_ = mixlink::detail::kNoSocket;
  int port_ = 0;
};

// Makes a blocking receive on s give up after seconds (SO_RCVTIMEO, in the form each system takes).
void bound_receives(socket_t s, int seconds);

// Number of open file descriptors of this process (entries of /proc/self/fd; on Windows the
// process's handle count).
int open_fd_count();

// Processor time this process has used, in seconds (std::clock counts wall time on Windows).
double process_cpu_seconds();

// Resident memory of this process in KiB (VmRSS of /proc/self/status); -1 when unknown.
long resident_kib();

}  // namespace mixtest
