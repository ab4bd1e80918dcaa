// SPDX-License-Identifier: MIT
// Peers that lie, stall or flood: every read returns within its bound, stays inside its buffers
// and keeps memory bounded, whatever the other end sends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/meters.h>
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include "link/sockets.h"
#include "scripted_peer.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

using mixtest::Bytes;
using mixtest::ScriptedPeer;
using Clock = std::chrono::steady_clock;

const Bytes kConnectBytes{0xDF, 0xD1, 0xD7, 0xC9, 0xCB, 0x20, 0xE0, 0xDC};
constexpr size_t kRequestBytes = 6;  // D7 hash DC, plus the select when the channel changes

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

uint32_t first_token_of_type(int type, uint32_t from = 1) {
  for (uint32_t t = from; t < static_cast<uint32_t>(wds_imax); ++t) {
    if (wGetType(t) == type) return t;
  }
  return 0;
}

class HostilePeer : public ::testing::Test {
 protected:
  void SetUp() override {
    ch_id_tx = 0;
    ch_id_rx = 1;
  }
  void TearDown() override { wClose(); }

  // Connects to a scripted peer that answers the first keep-alive at once.
  void connect(ScriptedPeer& peer) {
    ASSERT_TRUE(peer.ok()) << "cannot listen on 127.0.0.1:2222";
    peer.reply(mixtest::escaped({0x01}), kConnectBytes.size());
    char address[32] = "127.0.0.1";
    ASSERT_EQ(wOpen(address), 1);
    ASSERT_TRUE(peer.wait_replies_sent());
    // Blocking reads that the test gets wrong must not hang the run.
    timeval tv{5, 0};
    setsockopt(wing_tsocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
};

TEST_F(HostilePeer, ALongStringThatAnnouncesMoreThanArrivesGivesNoValueOnTime) {
  ScriptedPeer peer;
  connect(peer);
  const uint32_t token = first_token_of_type(W_STRING);
  ASSERT_NE(token, 0u);
  // 0xD1 0xFF announces 256 text bytes; only 10 come, and the peer then keeps quiet.
  Bytes reply = mixtest::cat({mixtest::entry(wGetHashFromToken(token), {0xD1, 0xFF}), Bytes(10, 'a')});
  struct Read {
    const char* name;
    int (*call)(uint32_t, int);
  } reads[] = {
      {"value", [](uint32_t t, int us) {
         int type = -1;
         w_value v{};
         const int r = wGetTokenTimed(t, &type, &v, us);
         if (r == 1 && type == W_VALUE_STRING) std::free(v.s);
         return r;
       }},
      {"string", [](uint32_t t, int us) {
         char text[257 + 16];
         std::memset(text, 'Z', sizeof text);
         const int r = wGetTokenStringTimed(t, text, us);
         return r == 1 && text[257] != 'Z' ? 99 : r;  // 99: wrote past the 257-byte text
       }},
  };
  for (const Read& read : reads) {
    SCOPED_TRACE(read.name);
    peer.reply(mixtest::escaped(reply), kRequestBytes);
    const auto t0 = Clock::now();
    const int r = read.call(token, 300000);
    EXPECT_LE(r, 0);
    EXPECT_LT(seconds_since(t0), 0.6 + 0.2);
  }
}

TEST_F(HostilePeer, AContainerReplyThatNeverEndsStopsTheReadInBoundedTimeAndMemory) {
  ScriptedPeer peer;
  connect(peer);
  const uint32_t box = first_token_of_type(0);
  ASSERT_NE(box, 0u);
  const int leaves = wNodeLeafCount(box);
  uint32_t first_leaf = box;
  while (wGetType(first_leaf) < 1) ++first_leaf;
  const Bytes entry = mixtest::entry(wGetHashFromToken(first_leaf), {0x05});

  // Three entries, then silence: the read waits a bounded time for more and reports it short.
  {
    std::vector<char> text(static_cast<size_t>(leaves) * 300 + 1024);
    peer.reply(mixtest::escaped(mixtest::cat({entry, entry, entry})), kRequestBytes);
    const auto t0 = Clock::now();
    EXPECT_EQ(wGetNode(box, text.data(), text.size()), -2);
    EXPECT_LT(seconds_since(t0), 3.0);
  }
  // Entries without end, far more than the container has leaves: the read takes what it needs.
  {
    Bytes flood;
    for (int i = 0; i < leaves * 4 + 1000; ++i) flood.insert(flood.end(), entry.begin(), entry.end());
    std::vector<w_token_value> records(static_cast<size_t>(leaves));
    peer.reply(mixtest::escaped(flood), kRequestBytes);
    const auto t0 = Clock::now();
    const int r = wGetNodeToTVArray(box, records.data(), leaves);
    EXPECT_TRUE(r == leaves || r == -2 || r == -10) << r;
    EXPECT_LT(seconds_since(t0), 3.0);
  }
}

TEST_F(HostilePeer, HundredMegabytesOfGarbageWhileAReadWaitsKeepMemoryBounded) {
  // A raw peer of our own: ScriptedPeer would hold all 100 MB in memory to send it.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  const int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(2222);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 1), 0);

  constexpr size_t kTotal = 100u << 20;
  std::atomic<size_t> sent{0};
  std::atomic<bool> done{false};
  std::thread console([&] {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    unsigned char in[64];
    size_t got = 0;
    while (got < kConnectBytes.size()) {
      const ssize_t n = ::recv(fd, in, sizeof in, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    const unsigned char hello = 0x01;
    ::send(fd, &hello, 1, MSG_NOSIGNAL);
    // The flood starts once the first value read is waiting for its reply.
    for (got = 0; got < kRequestBytes;) {
      const ssize_t n = ::recv(fd, in, sizeof in, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    std::vector<unsigned char> junk(1 << 16);
    std::mt19937 rng(8);
    for (auto& b : junk) b = static_cast<unsigned char>(rng());
    while (sent < kTotal) {
      const ssize_t n = ::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    done = true;
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  });

  char address[32] = "127.0.0.1";
  const int opened = wOpen(address);
  if (opened != 1) {
    ::shutdown(listener, SHUT_RDWR);
    console.join();
    ::close(listener);
    FAIL() << "wOpen gave " << opened;
  }
  const long rss_before = mixtest::resident_kib();
  const uint32_t token = first_token_of_type(W_STRING);
  const auto t0 = Clock::now();
  int reads = 0;
  // Each read is a value read with a time-out: none may outlast twice its time-out, none may
  // take a value out of the junk that does not belong to its node, and the loop ends once the
  // peer has sent everything and closed.
  while (seconds_since(t0) < 120) {
    int type = -1;
    w_value v{};
    const auto r0 = Clock::now();
    const int r = wGetTokenTimed(token, &type, &v, 200000);
    EXPECT_LT(seconds_since(r0), 0.4 + 0.2);
    if (r == 1 && type == W_VALUE_STRING) std::free(v.s);
    ++reads;
    if (done && r <= 0) break;
  }
  const long rss_after = mixtest::resident_kib();
  console.join();
  ::close(listener);
  EXPECT_GE(sent.load(), kTotal);
  EXPECT_TRUE(done);
  // The reads work in fixed buffers: a few MiB at most, whatever the flood. AddressSanitizer's
  // quarantine holds freed buffers back by design, so the figure means nothing there.
  if (!kAddressSanitizer) {
    EXPECT_LT(rss_after - rss_before, 8 * 1024) << "RSS grew from " << rss_before << " to " << rss_after << " KiB";
  }
  RecordProperty("reads", reads);
}

TEST_F(HostilePeer, MeterDatagramsOfEverySizeAreReadWithinTheBuffer) {
  ScriptedPeer peer;
  connect(peer);
  ASSERT_EQ(wMeterUDPPort(mixlink::kDefaultMeterPort), 1);
  mixtest::UdpPeer console;
  ASSERT_TRUE(console.ok());
  constexpr int kBuf = 256;
  const int sizes[] = {0, 1, 4, 243, 254, 65507};
  for (int size : sizes) {
    SCOPED_TRACE(size);
    Bytes d(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i) d[static_cast<size_t>(i)] = static_cast<unsigned char>(i * 7);
    ASSERT_TRUE(console.send_to(mixlink::kDefaultMeterPort, d));
    // Exactly the buffer's size on the heap, so any write past it is caught.
    auto* buf = static_cast<unsigned char*>(std::malloc(kBuf));
    const auto t0 = Clock::now();
    const int n = wGetMeters(buf, kBuf, 500000);
    EXPECT_LT(seconds_since(t0), 1.0);
    EXPECT_EQ(n, size < kBuf ? size : kBuf);
    if (n > 0) {
      EXPECT_EQ(std::memcmp(buf, d.data(), static_cast<size_t>(n)), 0);
    }
    std::free(buf);
  }
  // Nothing left behind: the next read times out.
  unsigned char buf[kBuf];
  EXPECT_EQ(wGetMeters(buf, kBuf, 100000), 0);
}

// Every timed read, each given the leaf or the container it reads.
struct TimedRead {
  const char* name;
  int (*call)(uint32_t leaf, uint32_t box, int us);
};
const TimedRead kTimedReads[] = {
    {"value", [](uint32_t t, uint32_t, int us) { int type; w_value v; return wGetTokenTimed(t, &type, &v, us); }},
    {"int", [](uint32_t t, uint32_t, int us) { int v; return wGetTokenIntTimed(t, &v, us); }},
    {"float", [](uint32_t t, uint32_t, int us) { float v; return wGetTokenFloatTimed(t, &v, us); }},
    {"string", [](uint32_t t, uint32_t, int us) { char s[257]; return wGetTokenStringTimed(t, s, us); }},
    {"events", [](uint32_t, uint32_t, int us) { w_token_value r[4]; return wGetParsedEventsTimed(r, 4, us); }},
    {"definition", [](uint32_t t, uint32_t, int us) {
       int n = 0;
       unsigned char* d = nullptr;
       const int r = wGetTokenDefTimed(t, &n, &d, us);
       if (r == 1) std::free(d);
       return r;
     }},
    {"dump", [](uint32_t, uint32_t box, int us) {
       std::vector<char> text(static_cast<size_t>(wNodeLeafCount(box)) * 300 + 16);
       return wGetNodeTimed(box, text.data(), text.size(), us);
     }},
    {"records", [](uint32_t, uint32_t box, int us) {
       std::vector<w_token_value> r(static_cast<size_t>(wNodeLeafCount(box)));
       return wGetNodeToTVArrayTimed(box, r.data(), static_cast<int>(r.size()), us);
     }},
    {"raw node", [](uint32_t, uint32_t box, int us) {
       std::vector<unsigned char> b(65536);
       return wGetBinaryNodeTimed(box, b.data(), static_cast<int>(b.size()), us);
     }},
    {"raw data", [](uint32_t t, uint32_t, int us) {
       unsigned char b[512];
       return wGetBinaryDataTimed(wGetName(t), b, sizeof b, us);
     }},
};

constexpr double kDeadlineGrace = 0.05;  // what a timed read may take beyond its time-out
constexpr double kBusyMachine = 0.2;     // and what a loaded machine may add to that

TEST_F(HostilePeer, APeerThatAcceptsAndNeverAnswersLetsEveryTimedReadReturnOnTime) {
  ScriptedPeer peer;
  ASSERT_TRUE(peer.ok());
  char address[32] = "127.0.0.1";
  const auto c0 = Clock::now();
  ASSERT_EQ(wOpen(address), 1);  // the first keep-alive needs no answer
  EXPECT_LT(seconds_since(c0), 0.9 * 2);
  const uint32_t token = first_token_of_type(W_STRING);
  const uint32_t box = wGetTokenFromName("ch.1");
  const int kTimeout = 250000;
  for (const TimedRead& read : kTimedReads) {
    SCOPED_TRACE(read.name);
    const auto t0 = Clock::now();
    EXPECT_EQ(read.call(token, box, kTimeout), 0);
    EXPECT_LT(seconds_since(t0), kTimeout / 1e6 + kDeadlineGrace + kBusyMachine);
    EXPECT_GE(seconds_since(t0), 0.9 * kTimeout / 1e6);
  }
}

// One byte every 100 ms, each an escape byte (whose partner a per-block decoder would wait for),
// or the entries of a container reply that keep coming a little faster than a read gives up on a
// pause: neither holds a timed read past its deadline.
TEST_F(HostilePeer, TricklingBytesCannotHoldATimedReadPastItsDeadline) {
  ScriptedPeer peer;
  connect(peer);
  const uint32_t token = first_token_of_type(W_STRING);
  const uint32_t box = wGetTokenFromName("ch.1");
  const int kTimeout = 300000;
  Bytes trickle;
  for (uint32_t t = box + 1; t < wNodeSubtreeEnd(box); ++t)
    if (wGetType(t) >= 1) trickle = mixtest::cat({trickle, mixtest::entry(wGetHashFromToken(t), {0x01})});
  struct Case {
    const char* name;
    Bytes bytes;
    size_t piece;
    int pause_ms;
  } cases[] = {
      {"escape bytes, one per 100 ms", Bytes(8 * std::size(kTimedReads), 0xDF), 1, 100},
      {"a container reply, an entry per 90 ms", trickle, 6, 90},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mixtest::Reply r{c.bytes, 0, std::vector<size_t>(c.bytes.size() / c.piece, c.piece), c.pause_ms, false};
    peer.push(r);
    for (const TimedRead& read : kTimedReads) {
      SCOPED_TRACE(read.name);
      const auto t0 = Clock::now();
      read.call(token, box, kTimeout);  // the entries are events to the event read: any result
      EXPECT_LT(seconds_since(t0), kTimeout / 1e6 + kDeadlineGrace + kBusyMachine);
    }
    peer.close_client();  // ends the trickle; the next case gets a connection of its own
    wClose();
    connect(peer);
  }
}

// The console goes away in the middle of a reply: the reads that were gathering it fail at once
// instead of waiting for the rest, and the raw read does not pass the part that came off as whole.
TEST_F(HostilePeer, AConnectionResetMidReplyFailsTheReadAtOnce) {
  ScriptedPeer peer;
  const uint32_t box = wGetTokenFromName("ch.1");
  Bytes half;
  int n = 0;
  for (uint32_t t = box + 1; t < wNodeSubtreeEnd(box) && n < wNodeLeafCount(box) / 2; ++t)
    if (wGetType(t) >= 1 && ++n) half = mixtest::cat({half, mixtest::entry(wGetHashFromToken(t), {0x01})});
  struct Case {
    const char* name;
    int (*call)(uint32_t box);
  } cases[] = {
      {"dump", [](uint32_t b) { std::vector<char> text(1 << 17); return wGetNodeTimed(b, text.data(), text.size(), 5000000); }},
      {"records", [](uint32_t b) {
         std::vector<w_token_value> r(static_cast<size_t>(wNodeLeafCount(b)));
         return wGetNodeToTVArray(b, r.data(), static_cast<int>(r.size()));
       }},
      {"raw node", [](uint32_t b) { std::vector<unsigned char> buf(1 << 16); return wGetBinaryNodeTimed(b, buf.data(), 1 << 16, 5000000); }},
      {"raw node, untimed", [](uint32_t b) { std::vector<unsigned char> buf(1 << 16); return wGetBinaryNode(b, buf.data(), 1 << 16); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connect(peer);
    peer.push(mixtest::Reply{mixtest::escaped(half), kRequestBytes, {}, 0, true});
    testing::internal::CaptureStderr();
    const auto t0 = Clock::now();
    EXPECT_EQ(c.call(box), -2);
    EXPECT_LT(seconds_since(t0), 0.5);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("stopped after"), std::string::npos);
    wClose();
  }
}

TEST(DiscoveryFlood, MalformedRepliesAreNeverTakenForAnAddress) {
  // Broadcast stays out of this test (no namespace needed): the flood goes through the parser that
  // every received discovery datagram goes through.
  std::mt19937 rng(3);
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    Bytes d(rng() % 200);
    for (auto& b : d) b = static_cast<unsigned char>(rng());
    // Every fourth one comes close: the tag with one letter wrong, or the bare tag.
    if (i % 4 == 0 && d.size() >= 4) std::memcpy(d.data(), i % 8 ? "WINg" : "WING", 4);
    if (i % 8 == 0) d.resize(std::min<size_t>(d.size(), 5));
    char address[32];
    std::memset(address, 'Q', sizeof address);
    const int r = wParseDiscoveryReply(d.data(), static_cast<int>(d.size()), address);
    accepted += r;
    if (r == 0) {
      EXPECT_EQ(address[0], 'Q');
    } else {
      EXPECT_LE(strnlen(address, 32), 16u);
    }
  }
  EXPECT_EQ(accepted, 0);
}

}  // namespace
