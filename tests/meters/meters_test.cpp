// SPDX-License-Identifier: MIT
// Meter requests as composed bytes, and the meter commands and datagrams over loopback.
#include <gtest/gtest.h>


#include <chrono>
#include <map>
#include <thread>

#include <mixlink/link.h>
#include <mixlink/meters.h>

#include "link/sockets.h"
#include "scripted_peer.h"

namespace {

using mixtest::Bytes;
using Clock = std::chrono::steady_clock;

Bytes compose(int id, const Bytes& bitmap) {
  Bytes padded = bitmap;
  padded.resize(32, 0);
  unsigned char out[300];
  const int n = wComposeMetersRequest(id, padded.data(), out);
  return Bytes(out, out + n);
}

Bytes row(int r, unsigned char bits) {
  Bytes b(32, 0);
  b[static_cast<size_t>(r)] = bits;
  return b;
}

TEST(MeterRequest, BitmapRowsBecomeGroupCodesAndItems) {
  Bytes two_rows(32, 0);
  two_rows[0] = 0x81;
  two_rows[1] = 0x40;
  Bytes beyond(32, 0);
  beyond[29] = beyond[30] = beyond[31] = 0xFF;
  struct Case {
    const char* what;
    int id;
    Bytes bitmap, expected;
  } cases[] = {
      {"nothing selected", 3, Bytes(32, 0), {0xD4, 0, 0, 0, 3, 0xDC, 0xDE, 0xDF, 0xD1}},
      {"the RTA block", 3, row(18, 0x80), {0xD4, 0, 0, 0, 3, 0xDC, 0xAA, 0x00, 0xDE, 0xDF, 0xD1}},
      {"a full row", 1, row(1, 0xFF),
       {0xD4, 0, 0, 0, 1, 0xDC, 0xA0, 8, 9, 10, 11, 12, 13, 14, 15, 0xDE, 0xDF, 0xD1}},
      {"a group's code repeats per row", 0x01020304, two_rows,
       {0xD4, 1, 2, 3, 4, 0xDC, 0xA0, 0, 7, 0xA0, 9, 0xDE, 0xDF, 0xD1}},
      {"the last row", -1, row(28, 0x01), {0xD4, 0xFF, 0xFF, 0xFF, 0xFF, 0xDC, 0xAF, 7, 0xDE, 0xDF, 0xD1}},
      {"bytes past the table", 3, beyond, {0xD4, 0, 0, 0, 3, 0xDC, 0xDE, 0xDF, 0xD1}},
  };
  for (const Case& c : cases) EXPECT_EQ(compose(c.id, c.bitmap), c.expected) << c.what;
}

TEST(MeterRequest, EverythingSelectedFillsTheLargestRequest) {
  const Bytes all = compose(3, Bytes(29, 0xFF));
  ASSERT_EQ(all.size(), 270u);
  // Every group's items run on without gaps across its rows.
  std::map<unsigned char, int> next_item;
  for (size_t i = 6; i < all.size() - 3; i += 9) {
    const unsigned char code = all[i];
    for (size_t k = 1; k <= 8; ++k) EXPECT_EQ(all[i + k], next_item[code]++) << std::hex << int(code);
  }
  const std::map<unsigned char, int> sizes{{0xA0, 40}, {0xA1, 8},  {0xA2, 16}, {0xA3, 8}, {0xA4, 8}, {0xA5, 8},
                                           {0xA6, 16}, {0xA7, 16}, {0xA8, 16}, {0xA9, 8}, {0xAA, 8}, {0xAB, 40},
                                           {0xAC, 8},  {0xAD, 16}, {0xAE, 8},  {0xAF, 8}};
  EXPECT_EQ(next_item, (std::map<unsigned char, int>(sizes.begin(), sizes.end())));
}

class Meters : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.ok());
    peer.reply(mixtest::escaped({0x01}), 8);
    char address[32] = "127.0.0.1";
    ASSERT_EQ(wOpen(address), 1);
    ASSERT_TRUE(peer.wait_received(8));
    peer.clear_received();
    ch_id_tx = 0;  // as at program start
  }
  void TearDown() override { wClose(); }

  Bytes received(size_t n) {
    EXPECT_TRUE(peer.wait_received(n));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Bytes b = peer.received();
    peer.clear_received();
    return b;
  }

  mixtest::ScriptedPeer peer;
};

TEST_F(Meters, TheApplicationsSequenceGoesOutByteForByte) {
  EXPECT_EQ(wMeterUDPPort(10026), 1);
  EXPECT_EQ(received(7), (Bytes{0xDF, 0xD3, 0xD3, 0x27, 0x2A, 0xDF, 0xD1}));
  EXPECT_EQ(ch_id_tx, -1);
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ASSERT_EQ(getsockname(wing_msocket, reinterpret_cast<sockaddr*>(&bound), &len), 0);
  EXPECT_EQ(ntohs(bound.sin_port), 10026);
  EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_ANY));

  unsigned char mbits[32] = {};
  mbits[18] = 0x80;
  EXPECT_EQ(wSetMetersRequest(3, mbits), 1);
  EXPECT_EQ(received(14), (Bytes{0xDF, 0xD3, 0xD4, 0, 0, 0, 3, 0xDC, 0xAA, 0x00, 0xDE, 0xDF, 0xDE, 0xD1}));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(wRenewMeters(3), 1);
    EXPECT_EQ(received(8), (Bytes{0xD4, 0, 0, 0, 3, 0xDF, 0xDE, 0xD1}));
  }
}

// The meter-port command returns the console to channel 1 on its own; a renewal after it must
// select channel 3 again or the console would take it for a channel-1 request.
TEST_F(Meters, ARenewalAfterANewMeterPortSelectsChannelThreeAgain) {
  unsigned char mbits[32] = {};
  mbits[18] = 0x80;
  ASSERT_EQ(wMeterUDPPort(10026), 1);
  ASSERT_EQ(wSetMetersRequest(3, mbits), 1);
  received(7 + 14);
  ASSERT_EQ(wMeterUDPPort(10026), 1);
  EXPECT_EQ(received(7), (Bytes{0xDF, 0xD3, 0xD3, 0x27, 0x2A, 0xDF, 0xD1}));
  EXPECT_EQ(wRenewMeters(3), 1);
  EXPECT_EQ(received(10), (Bytes{0xDF, 0xD3, 0xD4, 0, 0, 0, 3, 0xDF, 0xDE, 0xD1}));
}

TEST_F(Meters, IdsAreEscapedButThePortNeverIs) {
  EXPECT_EQ(wMeterUDPPort(0xDFD3), 1);
  EXPECT_EQ(received(7), (Bytes{0xDF, 0xD3, 0xD3, 0xDF, 0xD3, 0xDF, 0xD1}));
  EXPECT_EQ(wRenewMeters(0xDF), 1);
  EXPECT_EQ(received(10), (Bytes{0xDF, 0xD3, 0xD4, 0, 0, 0, 0xDF, 0xDF, 0xDE, 0xD1}));
}

TEST_F(Meters, DatagramsAreReadWholeOrTimeOut) {
  ASSERT_EQ(wMeterUDPPort(10026), 1);
  unsigned char buf[256];
  const auto t0 = Clock::now();
  EXPECT_EQ(wGetMeters(buf, sizeof buf, 1200000), 0);
  const double waited = std::chrono::duration<double>(Clock::now() - t0).count();
  EXPECT_GE(waited, 1.15);
  EXPECT_LT(waited, 2.0);

  mixtest::UdpPeer console;
  Bytes datagram(244);
  for (size_t i = 0; i < datagram.size(); ++i) datagram[i] = static_cast<unsigned char>(0xDF - i % 3);
  ASSERT_TRUE(console.send_to(10026, datagram));
  ASSERT_EQ(wGetMeters(buf, sizeof buf, 1000000), 244);
  EXPECT_EQ(Bytes(buf, buf + 244), datagram);  // datagrams carry no framing

  ASSERT_TRUE(console.send_to(10026, {1, 2, 3}));
  EXPECT_EQ(wGetMeters(buf, sizeof buf, 0), 3);  // no time-out: the read blocks until it comes
  ASSERT_TRUE(console.send_to(10026, datagram));
  EXPECT_EQ(wGetMeters(buf, 10, 1000000), 10);  // a larger datagram is cut to the buffer
}

TEST_F(Meters, ABusyPortFailsTheBind) {
  mixlink::detail::socket_t busy = mixlink::detail::open_socket(false);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(10026);
  ASSERT_EQ(mixlink::detail::bind_to(busy, a), 0);
  EXPECT_EQ(wMeterUDPPort(10026), -8);
  mixlink::detail::drop_socket(busy);
  EXPECT_EQ(wMeterUDPPort(10026), 1);  // and the failed socket is not in the way
}

TEST_F(Meters, WithoutAConnectionNothingSucceeds) {
  wClose();
  unsigned char mbits[32] = {};
  EXPECT_LT(wMeterUDPPort(10026), 0);
  EXPECT_EQ(wing_msocket, mixlink::detail::kNoSocket);
  EXPECT_EQ(wSetMetersRequest(3, mbits), 0);
  EXPECT_EQ(wRenewMeters(3), 0);
  unsigned char buf[8];
  EXPECT_LT(wGetMeters(buf, sizeof buf, 1000), 0);
}

}  // namespace
