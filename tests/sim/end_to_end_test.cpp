// SPDX-License-Identifier: MIT
// mixsim as a child process, driven over loopback by a raw socket client that frames its own bytes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mixlink/dictionary.h>
#include <mixlink/link.h>

#include <chrono>
#include <string>

#include "scripted_peer.h"
#include "sim_process.h"

using mixtest::loopback;
using mixtest::SimProcess;
using Bytes = std::basic_string<unsigned char>;

namespace {

// A client connection whose received bytes are un-escaped as one continuous stream.
class RawClient {
 public:
  RawClient() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(2222);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RawClient() { close(fd_); }
  bool connected() const { return connected_; }
  void send_raw(const Bytes& b) { ASSERT_EQ(send(fd_, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size())); }
  // Reads for up to ms milliseconds or until the decoded stream holds want; returns the stream.
  const Bytes& read_until(const Bytes& want, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (stream_.find(want) == Bytes::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
      unsigned char buf[65536];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      raw_.append(buf, static_cast<size_t>(n));
      // Decode whole stream afresh so that escapes split across reads are read as one.
      Bytes copy = raw_;
      int ch = 1;
      const int len = wDecodeEscapes(copy.data(), static_cast<int>(copy.size()), &ch);
      stream_.assign(copy.data(), static_cast<size_t>(len));
    }
    return stream_;
  }
  bool closed() const { return closed_; }
  size_t raw_size() const { return raw_.size(); }

 private:
  int fd_ = -1;
  bool connected_ = false, closed_ = false;
  Bytes raw_, stream_;
};

Bytes entry_head(const char* path) {
  const uint32_t h = wGetHashFromName(path);
  return Bytes{0xD7, static_cast<unsigned char>(h >> 24), static_cast<unsigned char>(h >> 16),
               static_cast<unsigned char>(h >> 8), static_cast<unsigned char>(h)};
}

Bytes request(const char* path, unsigned char code = 0xDC) {
  Bytes r = entry_head(path);
  r.push_back(code);
  return r;
}

class UdpPort {
 public:
  explicit UdpPort(int port) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback(port);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~UdpPort() { close(fd_); }
  bool bound() const { return bound_; }
  // Returns the next datagram's length (0 after ms milliseconds without one).
  int receive(unsigned char* buf, int size, int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return 0;
    return static_cast<int>(recv(fd_, buf, static_cast<size_t>(size), 0));
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

const Bytes kConnect = {0xDF, 0xD1, 0xD7, 0xC9, 0xCB, 0x20, 0xE0, 0xDC};
// Port 10126, not the analyzer's 10026: any port the client names works, and this one is less
// likely to be held by a library test running at the same time.
constexpr int kTestMeterPort = 10126;
const Bytes kMeterPort = {0xDF, 0xD3, 0xD3, 0x27, 0x8E, 0xDF, 0xD1};
const Bytes kSubscribe = {0xDF, 0xD3, 0xD4, 0x00, 0x00, 0x00, 0x03, 0xDC, 0xAA, 0x00, 0xDE, 0xDF, 0xDE, 0xD1};

TEST(SimEndToEnd, AnswersKeepAliveValuesAndSendsRtaMetersThenStopsCleanly) {
  SimProcess sim({"--rate", "50"});
  ASSERT_TRUE(sim.ok()) << "mixsim did not start";
  RawClient c;
  ASSERT_TRUE(c.connected());
  c.send_raw(kConnect);
  Bytes name_reply = entry_head("$syscfg.consolename");
  name_reply += Bytes{0xCA};
  name_reply += reinterpret_cast<const unsigned char*>("Sim Console");
  EXPECT_NE(c.read_until(name_reply, 2000).find(name_reply), Bytes::npos);

  // An unknown hash gets nothing; the next request still gets its reply.
  c.send_raw(Bytes{0xD7, 0x12, 0x34, 0x56, 0x78, 0xDC});
  c.send_raw(request("ch.2.name"));
  Bytes ch2 = entry_head("ch.2.name") + Bytes{0xC3, 'C', 'H', ' ', '2'};
  const Bytes& s = c.read_until(ch2, 2000);
  EXPECT_NE(s.find(ch2), Bytes::npos);
  EXPECT_EQ(s.find(Bytes{0xD7, 0x12, 0x34, 0x56, 0x78}), Bytes::npos);

  UdpPort meters(kTestMeterPort);
  ASSERT_TRUE(meters.bound());
  c.send_raw(kMeterPort);
  c.send_raw(kSubscribe);
  unsigned char d[512];
  int n = meters.receive(d, sizeof d, 2000);
  ASSERT_EQ(n, 244);
  EXPECT_EQ(Bytes(d, 4), (Bytes{0, 0, 0, 3}));
  int count = 0;
  while (count < 10 && meters.receive(d, sizeof d, 1000) == 244) ++count;
  EXPECT_EQ(count, 10);
  c.send_raw(Bytes{0xD4, 0x00, 0x00, 0x00, 0x03, 0xDF, 0xDE, 0xD1});  // renewal on channel 3

  // A container read over TCP: every entry arrives, then the end byte.
  c.send_raw(Bytes{0xDF, 0xD1});
  c.send_raw(request("$stat"));
  const Bytes last = entry_head("$stat.temp");
  EXPECT_NE(c.read_until(last, 2000).find(last), Bytes::npos);

  EXPECT_EQ(sim.stop(), 0);  // SIGTERM: exit status 0
}

TEST(SimEndToEnd, DefinitionRepliesCarryTheRequestedHash) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok());
  RawClient c;
  c.send_raw(Bytes{0xDF, 0xD1});
  c.send_raw(request("ch.1.fdr", 0xDD));
  const Bytes h = entry_head("ch.1.fdr").substr(1);
  const Bytes& s = c.read_until(h, 2000);
  ASSERT_NE(s.find(h), Bytes::npos);
  EXPECT_EQ(s[0], 0xDF);
  EXPECT_EQ(s.find(h), 7u);  // short header for a leaf
}

TEST(SimEndToEnd, GarbageComesAheadOfTheReplyAndSplitsArriveWhole) {
  SimProcess sim({"--garbage", "--split", "3", "--seed", "5"});
  ASSERT_TRUE(sim.ok());
  RawClient c;
  c.send_raw(Bytes{0xDF, 0xD1});
  for (int i = 0; i < 4; ++i) c.send_raw(request("ch.1.fdr"));
  const Bytes own = entry_head("ch.1.fdr");
  const Bytes& s = c.read_until(own + Bytes{0xD5, 0, 0, 0, 0}, 3000);
  const size_t at = s.find(own);
  ASSERT_NE(at, Bytes::npos);
  EXPECT_GT(at, 0u);  // something foreign came first
}

TEST(SimEndToEnd, AnimationSendsSeveralEventsPerBlockToEveryClient) {
  SimProcess sim({"--animate"});
  ASSERT_TRUE(sim.ok());
  RawClient a, b;
  a.send_raw(Bytes{0xDF, 0xD1});
  const Bytes fader = entry_head("ch.1.fdr");
  const Bytes level = entry_head("cfg.mon.1.$lvl");
  EXPECT_NE(a.read_until(fader, 2000).find(fader), Bytes::npos);
  EXPECT_NE(b.read_until(level, 2000).find(level), Bytes::npos);
}

TEST(SimEndToEnd, CloseAfterBytesAndIgnoredKeepAlive) {
  SimProcess sim({"--close-after-bytes", "20", "--ignore-keepalive"});
  ASSERT_TRUE(sim.ok());
  RawClient c;
  c.send_raw(kConnect);
  c.send_raw(request("$stat"));
  c.read_until(Bytes{0xFF, 0xFF, 0xFF}, 2000);
  EXPECT_TRUE(c.closed());
  EXPECT_EQ(c.raw_size(), 20u);
  EXPECT_EQ(c.read_until(Bytes{}, 0).find(entry_head("$syscfg.consolename")), Bytes::npos);
}

TEST(SimEndToEnd, BindErrorsExitWithStatusOne) {
  SimProcess first;
  ASSERT_TRUE(first.ok());
  const pid_t pid = fork();
  if (pid == 0) {
    execl(mixtest::sim_executable(), "mixsim", "--quiet", nullptr);
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
