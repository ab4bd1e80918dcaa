// SPDX-License-Identifier: MIT
// The connection against a scripted console on loopback: exact bytes out, scripted bytes in.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <mixlink/link.h>

#include "link/sockets.h"
#include "scripted_peer.h"

namespace {

using mixtest::Bytes;
using mixtest::ScriptedPeer;
using Clock = std::chrono::steady_clock;

const Bytes kSelect1{0xDF, 0xD1};
const Bytes kSelect3{0xDF, 0xD3};
const Bytes kKeepAlive{0xD7, 0xC9, 0xCB, 0x20, 0xE0, 0xDC};
const Bytes kConnectBytes = mixtest::cat({kSelect1, kKeepAlive});

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// A read that the library should never start would block the test for good; bound it instead.
void bound_reads(int seconds) { mixtest::bound_receives(wing_tsocket, seconds); }

class Connection : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer->ok()) << "cannot listen on 127.0.0.1:2222";
    ch_id_tx = 0;
    ch_id_rx = 1;
  }
  void TearDown() override { wClose(); }

  // Connects with an immediate answer so the 0.9 s wait is not spent, then forgets the bytes.
  void connect() {
    peer->reply(mixtest::escaped({0x01}), kConnectBytes.size());
    char address[32] = "127.0.0.1";
    ASSERT_EQ(wOpen(address), 1);
    ASSERT_TRUE(peer->wait_received(kConnectBytes.size()));
    ASSERT_TRUE(peer->wait_replies_sent());
    peer->clear_received();
    bound_reads(3);
    // A reconnection without a saved address would search by broadcast; no test may get there.
    ASSERT_STREQ(SavedIP, "127.0.0.1");
  }

  std::unique_ptr<ScriptedPeer> peer = std::make_unique<ScriptedPeer>();
};

TEST_F(Connection, ConnectSelectsChannelOneAndSendsTheKeepAliveWithOrWithoutAnAnswer) {
  struct Case {
    bool answer;
    double min_s, max_s;
    int rx_after;
  } cases[] = {{false, 0.85, 2.0, 1}, {true, 0.0, 0.5, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer ? "answered" : "silent");
    peer->clear_received();
    ch_id_rx = 1;
    if (c.answer) peer->reply(Bytes{0xDF, 0xD3, 0x05}, kConnectBytes.size());
    char address[32] = "127.0.0.1";
    const auto t0 = Clock::now();
    EXPECT_EQ(wOpen(address), 1);
    const double took = seconds_since(t0);
    EXPECT_GE(took, c.min_s);
    EXPECT_LE(took, c.max_s);
    ASSERT_TRUE(peer->wait_received(kConnectBytes.size()));
    EXPECT_EQ(peer->received(), kConnectBytes);
    EXPECT_STREQ(SavedIP, "127.0.0.1");
    EXPECT_EQ(wnext, 0);
    EXPECT_NE(wing_tsocket, mixlink::detail::kNoSocket);
    EXPECT_EQ(wing_msocket, mixlink::detail::kNoSocket);
    EXPECT_EQ(ntohs(WING_tip.sin_port), 2222);
    EXPECT_EQ(ch_id_rx, c.rx_after);  // the discarded first reply still moves the receive channel
    EXPECT_EQ(ch_id_tx, -1);  // the raw select leaves the console on 1: wSend must select anew
  }
}

TEST_F(Connection, ConnectFailuresGiveMinusSevenAndNeverReachOutside) {
  const char* bad[] = {"not-an-address", "255.255.255.255", "127.0.0.300"};
  for (const char* a : bad) EXPECT_EQ(wTCPConnect(a), -7) << a;
  EXPECT_EQ(peer->accepts(), 0);
  // Nobody listens on 127.0.0.2:2222.
  EXPECT_EQ(wTCPConnect("127.0.0.2"), -7);
}

TEST_F(Connection, SendSelectsOnlyWhenTheChannelChanges) {
  ASSERT_NO_FATAL_FAILURE(connect());
  unsigned char a[8] = {0x10}, b[8] = {0x11}, c[8] = {0x12, 0xDF, 0xD3}, d[8] = {0x13};
  EXPECT_EQ(wSend(1, a, 1), 1);
  EXPECT_EQ(wSend(1, b, 1), 1);
  EXPECT_EQ(wSend(3, c, 3), 4);  // the count is of encoded bytes
  EXPECT_EQ(ch_id_tx, 3);
  EXPECT_EQ(wSend(1, d, 1), 1);
  unsigned char none[2] = {};
  EXPECT_EQ(wSend(3, none, 0), 0);  // a select, then an empty send
  const Bytes expected{0xDF, 0xD1, 0x10, 0x11, 0xDF, 0xD3, 0x12, 0xDF, 0xDE, 0xD3, 0xDF, 0xD1, 0x13, 0xDF, 0xD3};
  ASSERT_TRUE(peer->wait_received(expected.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(peer->received(), expected);
}

TEST_F(Connection, ReceiveDecodesOneBlockAndFollowsTheChannel) {
  ASSERT_NO_FATAL_FAILURE(connect());
  peer->reply({0xDF, 0xD3, 0xAA, 0xDF, 0xDE, 0x07});
  unsigned char buf[64];
  EXPECT_EQ(wRecv(buf, sizeof buf, 1000000), 4);
  EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0xD3, 0xAA, 0xDF, 0x07}));
  EXPECT_EQ(ch_id_rx, 3);
}

// The transport may cut a reply anywhere, also between 0xDF and the byte it escapes (a node hash
// ending in 0xDF is an everyday case): the escape carries into the next block, with no wait.
TEST_F(Connection, ReplyCutInsideAnEscapePairDecodesWholeAcrossBlocks) {
  ASSERT_NO_FATAL_FAILURE(connect());
  const Bytes sent = mixtest::escaped({0xD7, 0x12, 0x34, 0x56, 0xDF, 0xD3, 0x00, 0x05});
  ASSERT_EQ(sent[4], 0xDF);
  peer->push(mixtest::Reply{sent, 0, {5}, 100, false});  // cut right after the 0xDF
  unsigned char buf[64];
  const auto t0 = Clock::now();
  ASSERT_EQ(wRecv(buf, sizeof buf, 1000000), 4);
  EXPECT_LT(seconds_since(t0), 0.08) << "the first block is handed out without waiting for the second";
  ASSERT_EQ(wRecv(buf + 4, sizeof buf - 4, 1000000), 4);
  EXPECT_EQ(Bytes(buf, buf + 8), (Bytes{0xD7, 0x12, 0x34, 0x56, 0xDF, 0xD3, 0x00, 0x05}));
  EXPECT_EQ(ch_id_rx, 1);
}

TEST_F(Connection, ReceiveLargerThanTheCapacityIsRefusedWithoutOverrun) {
  ASSERT_NO_FATAL_FAILURE(connect());
  Bytes reply(300);
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<unsigned char>(i % 200);
  peer->reply(reply);
  ASSERT_TRUE(peer->wait_replies_sent());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto buf = std::make_unique<unsigned char[]>(256);  // exact size, so ASan sees any overrun
  EXPECT_EQ(wRecv(buf.get(), 256, 1000000), -10);
  EXPECT_EQ(Bytes(buf.get(), buf.get() + 256), Bytes(reply.begin(), reply.begin() + 256));
}

TEST_F(Connection, ReceiveTimeOutIsSplitIntoSecondsAndMicroseconds) {
  ASSERT_NO_FATAL_FAILURE(connect());
  unsigned char buf[16];
  const auto t0 = Clock::now();
  EXPECT_EQ(wRecv(buf, sizeof buf, 1300000), 0);
  const double took = seconds_since(t0);
  EXPECT_GE(took, 1.25);
  EXPECT_LT(took, 2.0);
}

TEST_F(Connection, RepliesOfWholeReadSizesDoNotBlock) {
  ASSERT_NO_FATAL_FAILURE(connect());
  for (size_t size : {size_t{1400}, size_t{2800}}) {
    SCOPED_TRACE(size);
    peer->reply(Bytes(size, 0x41));
    ASSERT_TRUE(peer->wait_replies_sent());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<unsigned char> buf(4096);
    const auto t0 = Clock::now();
    EXPECT_EQ(wRecv(buf.data(), static_cast<int>(buf.size()), 1000000), static_cast<int>(size));
    EXPECT_LT(seconds_since(t0), 1.0);
  }
}

// wDrainTCP reads through the receive stream like every read: an escape pair it cuts between two
// calls still selects the channel, and the end of the stream is what wLinkState reports after.
TEST_F(Connection, DrainingKeepsTheStreamsEscapeStateAndEndOfStream) {
  ASSERT_NO_FATAL_FAILURE(connect());
  auto arrived = [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };
  EXPECT_EQ(wDrainTCP(), 0);  // nothing waits
  peer->reply(Bytes{0x10, 0x11, 0xDF});
  arrived();
  EXPECT_EQ(wDrainTCP(), 3);
  EXPECT_EQ(ch_id_rx, 1);
  peer->reply(Bytes{0xD3, 0x12});
  arrived();
  EXPECT_EQ(wDrainTCP(), 2);
  EXPECT_EQ(ch_id_rx, 3);  // 0xDF 0xD3, cut between the two drains
  EXPECT_EQ(wLinkState(), 1);
  peer->close_client();
  arrived();
  EXPECT_EQ(wDrainTCP(), -3);
  EXPECT_EQ(wLinkState(), 0);
  unsigned char buf[8];
  EXPECT_EQ(wRecv(buf, sizeof buf, 1000), 0);  // nothing was left behind
}

TEST_F(Connection, ReceiveWithoutAConnectionFailsInsteadOfTouchingAnUnsetSocket) {
  wClose();
  unsigned char buf[16];
  EXPECT_LT(wRecv(buf, sizeof buf, 100000), 0);
  EXPECT_LT(wRecv(buf, sizeof buf, 0), 0);
  EXPECT_LT(wMRecv(buf, sizeof buf, 100000), 0);
  unsigned char p[4] = {1};
  EXPECT_LT(wSend(1, p, 1), 0);
}

TEST_F(Connection, KeepAliveGoesOutOnlyWhenDue) {
  ASSERT_NO_FATAL_FAILURE(connect());
  EXPECT_EQ(wKeepAlive(), 1);  // wnext is 0 after connecting: due at once
  ASSERT_TRUE(peer->wait_received(6));
  EXPECT_EQ(peer->received(), kKeepAlive);
  EXPECT_EQ(wnext, wnow + 6);
  // wnow counts seconds of the monotonic clock, not calendar seconds.
  const auto steady_s = std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count();
  EXPECT_NEAR(static_cast<double>(wnow), static_cast<double>(steady_s), 1.0);
  peer->clear_received();
  // Up to and including the due second nothing is sent.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(wKeepAlive(), 1);
  const int64_t now = wnow;
  wnext = now + 1;
  EXPECT_EQ(wKeepAlive(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(peer->received().empty());
  wnext = now - 1;
  EXPECT_EQ(wKeepAlive(), 1);
  EXPECT_TRUE(peer->wait_received(6));
}

// The console's side goes away; the next keep-alive that fails reconnects on its own.
TEST_F(Connection, KeepAliveReconnectsAfterThePeerCloses) {
  ASSERT_NO_FATAL_FAILURE(connect());
  peer->close_client();
  peer->reply(mixtest::escaped({0x01}), kConnectBytes.size());  // the new connection's answer
  testing::internal::CaptureStderr();
  int result = 0;
  for (int i = 0; i < 50 && peer->accepts() < 2; ++i) {
    wnext = 0;
    result = wKeepAlive();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(peer->accepts(), 2);
  EXPECT_EQ(result, 1);
  EXPECT_NE(err.find(" connection reset!!!\n ---- Please check the state of the console ----\n"), std::string::npos)
      << err;
  EXPECT_EQ(err.rfind("Network error ", 0), 0u) << err;
  ASSERT_TRUE(peer->wait_received(kConnectBytes.size()));
  EXPECT_EQ(peer->connection(1), kConnectBytes);
  EXPECT_NE(wing_tsocket, mixlink::detail::kNoSocket);
}

TEST_F(Connection, KeepAliveWithTheConsoleGoneReportsTheFailedConnect) {
  ASSERT_NO_FATAL_FAILURE(connect());
  peer.reset();  // the console's port now has no listener
  testing::internal::CaptureStderr();
  int result = 1;
  for (int i = 0; i < 50 && result == 1; ++i) {
    wnext = 0;
    result = wKeepAlive();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, -7);
}

TEST_F(Connection, ReconnectingOftenLeaksNoDescriptors) {
  // The peer's end of a connection is a descriptor of this process too: count when it has none.
  auto settled_fd_count = [&] {
    for (int i = 0; i < 100 && peer->connected(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return mixtest::open_fd_count();
  };
  ASSERT_NO_FATAL_FAILURE(connect());
  wClose();
  const int before = settled_fd_count();
  for (int i = 0; i < 100; ++i) {
    peer->reply(mixtest::escaped({0x01}), kConnectBytes.size());
    char address[32] = "127.0.0.1";
    ASSERT_EQ(wOpen(address), 1) << "round " << i;
  }
  // And through the keep-alive's own reconnection.
  testing::internal::CaptureStderr();
  for (int round = 0; round < 5; ++round) {
    const int accepted = peer->accepts();
    peer->close_client();
    peer->reply(mixtest::escaped({0x01}), kConnectBytes.size());
    for (int i = 0; i < 50 && peer->accepts() == accepted; ++i) {
      wnext = 0;
      wKeepAlive();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GT(peer->accepts(), accepted);
  }
  testing::internal::GetCapturedStderr();
  wClose();
  EXPECT_EQ(settled_fd_count(), before);
}

TEST_F(Connection, SendsToAVanishedPeerFailWithoutKillingTheProcess) {
  ASSERT_NO_FATAL_FAILURE(connect());
  peer->close_client();
  unsigned char p[8] = {0x01};
  int r = 1;
  for (int i = 0; i < 100 && r >= 0; ++i) {
    r = wSend(1, p, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_LT(r, 0);
}

TEST_F(Connection, MapSizeIsTheNextMultipleOfSixteen) {
  ASSERT_NO_FATAL_FAILURE(connect());
  struct Case {
    size_t reply;
    int expected;
  } cases[] = {{1000, 1008}, {992, 1008}, {32, 48}, {2048, 2064}, {4096, 4112}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    peer->clear_received();
    peer->reply(Bytes(c.reply, 0x20), 4);
    EXPECT_EQ(wSizeMap(), c.expected);
    EXPECT_EQ(peer->received(), (Bytes{0xDF, 0xD1, 0xDA, 0xDC}));
  }
}

TEST(ConnectionHelpers, DumpAndVersion) {
  EXPECT_EQ(wVer(), 12293);
  testing::internal::CaptureStdout();
  const unsigned char data[2] = {0x01, 0xAB};
  EXPECT_EQ(wDumpBuffer(data, 2), 0);
  EXPECT_EQ(wDumpBuffer(data, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "len: 2, data: 01 ab\nlen: 0, data:\n");
}

TEST(ConnectionHelpers, HexTextFitsOrIsRefused) {
  const unsigned char bytes[] = {0xDF, 0x00, 0x0A};
  struct Case {
    int length;
    int size;
    int result;
    const char* text;
  } cases[] = {
      {0, 1, 0, ""}, {0, 0, -10, nullptr}, {1, 3, 2, "df"}, {1, 2, -10, nullptr},
      {3, 9, 8, "df 00 0a"}, {3, 8, -10, nullptr}, {3, 64, 8, "df 00 0a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " bytes into " << c.size);
    char text[64];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(wFormatHex(bytes, c.length, text, c.size), c.result);
    if (c.result >= 0) {
      EXPECT_STREQ(text, c.text);
      EXPECT_EQ(text[c.result + 1], '#') << "wrote past the text";
    } else {
      EXPECT_EQ(text[0], '#') << "wrote into a text that does not fit";
    }
  }
  // A dump longer than the pieces it is printed in reads as one.
  std::vector<unsigned char> many(600);
  std::string want = "len: 600, data:";
  for (size_t i = 0; i < many.size(); ++i) {
    many[i] = static_cast<unsigned char>(i * 7);
    char b[4];
    std::snprintf(b, sizeof b, " %02x", many[i]);
    want += b;
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(wDumpBuffer(many.data(), static_cast<int>(many.size())), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), want + "\n");
}

}  // namespace
