// bandscope against a console on loopback: a scripted peer for the exact bytes and timing, mixsim
// for the live picture, and the program itself for its exit statuses.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <cstdio>
#include <string>
#include <vector>

#include <mixlink/link.h>

#include "qt_app.h"
#include "scripted_peer.h"
#include "sim_process.h"
#include "window.h"

namespace {

using bandscope::BandscopeWindow;
using mixtest::Bytes;
using Clock = std::chrono::steady_clock;

const Bytes kSelect1 = {0xDF, 0xD1};
const Bytes kKeepAlive = {0xD7, 0xC9, 0xCB, 0x20, 0xE0, 0xDC};
const Bytes kMeterPort = {0xDF, 0xD3, 0xD3, 0x27, 0x2A, 0xDF, 0xD1};
const Bytes kSubscribe = {0xDF, 0xD3, 0xD4, 0x00, 0x00, 0x00, 0x03, 0xDC, 0xAA, 0x00, 0xDE, 0xDF, 0xDE, 0xD1};
const Bytes kRenewal = {0xD4, 0x00, 0x00, 0x00, 0x03, 0xDF, 0xDE, 0xD1};

int countOf(const Bytes& hay, const Bytes& needle) {
  int n = 0;
  for (auto it = hay.begin(); (it = std::search(it, hay.end(), needle.begin(), needle.end())) != hay.end(); ++it) ++n;
  return n;
}

class SessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    apptest::privateLoopback();
    apptest::qtApp();
  }
  // Each test stands for one run of the program, which connects once; the channel state is
  // process-wide and survives a reconnect, so start every test from a fresh process's state.
  void SetUp() override {
    ch_id_tx = 0;
    ch_id_rx = 1;
  }
  void TearDown() override { wClose(); }
};

TEST_F(SessionTest, TypedAddressConnectsSubscribesRenewsAndShowsBars) {
  mixtest::ScriptedPeer peer;
  ASSERT_TRUE(peer.ok());
  mixtest::UdpPeer meters;
  ASSERT_TRUE(meters.ok());

  {
    BandscopeWindow w;
    w.show();
    QSignalSpy finished(&w, &BandscopeWindow::finished);
    QTest::keyClicks(w.addressBox(), " 127.0.0.1 ");
    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    ASSERT_TRUE(w.isReady());
    EXPECT_EQ(w.addressBox()->text(), QStringLiteral("127.0.0.1")) << "the box shows the address used";

    // Connect, meter port, subscription, then the first renewal at once.
    const Bytes opening = mixtest::cat({kSelect1, kKeepAlive, kMeterPort, kSubscribe, kRenewal});
    ASSERT_TRUE(peer.wait_received(opening.size()));
    const auto first_renewal = Clock::now();
    EXPECT_EQ(peer.received(), opening);

    // A datagram's values become the bars.
    Bytes datagram(244, 0);
    for (int i = 0; i < bandscope::kBarCount; ++i) datagram[4 + 2 * i] = 0x80;
    datagram[4] = 0x00;  // bar 0 full scale
    datagram[4 + 2 * 119] = 0xFF;  // bar 119: -1
    datagram[5 + 2 * 119] = 0xFF;
    ASSERT_TRUE(meters.send_to(10026, datagram));
    ASSERT_TRUE(apptest::pumpUntil([&] { return w.barHeights()[0] == 128; }, 2000));
    EXPECT_EQ(w.barHeights()[119], 127);
    EXPECT_EQ(w.barHeights()[60], 0);
    EXPECT_EQ(w.grab().toImage().pixelColor(12, 41), QColor(255, 30, 0));

    // The next renewal waits for the whole-second clock to move on by 5.
    ASSERT_TRUE(apptest::pumpUntil([&] { return countOf(peer.received(), kRenewal) >= 2; }, 7000));
    const double gap = std::chrono::duration<double>(Clock::now() - first_renewal).count();
    EXPECT_GE(gap, 4.0);
    EXPECT_LE(gap, 6.5);
    EXPECT_EQ(countOf(peer.received(), kRenewal), 2);

    // The second press ends the run with status 0 and sends nothing more.
    const size_t before_press = peer.received().size();
    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), 0);
    EXPECT_FALSE(w.isRunning());
    QTest::qWait(50);
    EXPECT_EQ(peer.received().size(), before_press);
  }
}

// A backlog that built up while the program was busy is read datagram by datagram, not just its
// last one. (Keeping up with a steady rate is measured by scripts/measure-bandscope.)
TEST_F(SessionTest, ReadsEveryDatagramOfABacklog) {
  mixtest::ScriptedPeer peer;
  ASSERT_TRUE(peer.ok());
  mixtest::UdpPeer udp;
  ASSERT_TRUE(udp.ok());
  BandscopeWindow w(QStringLiteral("127.0.0.1"));
  w.show();
  QTest::mouseClick(w.connectButton(), Qt::LeftButton);
  ASSERT_TRUE(w.isReady());

  // Small enough for the socket's default receive buffer, sent while the event loop is not running.
  constexpr int kBacklog = 64;
  Bytes datagram(244, 0);
  for (int i = 0; i < kBacklog; ++i) {
    datagram[4] = static_cast<unsigned char>(i);  // bar 0 ends at the last one's value
    ASSERT_TRUE(udp.send_to(10026, datagram));
  }
  EXPECT_TRUE(apptest::pumpUntil([&] { return w.stats().datagrams >= kBacklog; }, 3000))
      << "read " << w.stats().datagrams << " of " << kBacklog;
  EXPECT_EQ(w.barHeights()[0], bandscope::wBarHeight(static_cast<int16_t>((kBacklog - 1) << 8)));
  EXPECT_GE(w.stats().frames, 1);
}

TEST_F(SessionTest, LiveSpectrumFromTheSimulator) {
  if (*mixtest::sim_executable() == '\0') GTEST_SKIP() << "mixsim is not built";
  mixtest::SimProcess sim({"--rate", "50"});
  ASSERT_TRUE(sim.ok());
  BandscopeWindow w(QStringLiteral("127.0.0.1"));
  w.show();
  QTest::mouseClick(w.connectButton(), Qt::LeftButton);
  ASSERT_TRUE(w.isReady());
  EXPECT_EQ(w.addressBox()->text(), QStringLiteral("127.0.0.1"));
  ASSERT_TRUE(apptest::pumpUntil([&] { return w.stats().datagrams >= 10; }, 5000));
  const auto& h = w.barHeights();
  EXPECT_GT(*std::max_element(h.begin(), h.end()), 0) << "a simulated spectrum shows some bars";
}

// A failed step ends the run with status 1 and one line naming the step and its result; the
// window then ignores further presses.
TEST_F(SessionTest, FailedStepEndsTheRunAndSaysWhich) {
  struct Case {
    const char* name;
    bool console;     // a console answers on 2222
    bool port_taken;  // something else holds the meter port
    const char* line;
  };
  const Case cases[] = {
      {"nothing answers", false, false, "bandscope: cannot connect to 127.0.0.1 (-7)\n"},
      {"meter port taken", true, true, "bandscope: meter port 10026 could not be set up (-8)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<mixtest::ScriptedPeer> peer;
    if (c.console) peer.emplace();
    std::optional<mixtest::UdpPeer> squatter;
    if (c.port_taken) {
      squatter.emplace(10026);
      ASSERT_TRUE(squatter->ok());
    }

    BandscopeWindow w(QStringLiteral("127.0.0.1"));
    w.show();
    QSignalSpy finished(&w, &BandscopeWindow::finished);
    testing::internal::CaptureStderr();
    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.line);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), 1);
    EXPECT_FALSE(w.isReady());
    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    EXPECT_EQ(finished.count(), 1) << "a press after the failure does nothing";
    wClose();
  }
}

struct ProgramRun {
  int status = -1;
  std::string err;
};

// Runs the bandscope program with args and returns its exit status and standard error.
ProgramRun runProgram(const std::vector<std::string>& args) {
  std::string cmd = "QT_QPA_PLATFORM=offscreen " BANDSCOPE_EXECUTABLE;
  for (const auto& a : args) cmd += " '" + a + "'";
  cmd += " 2>&1 >/dev/null";
  ProgramRun r;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char line[512];
  while (fgets(line, sizeof line, p) != nullptr) r.err += line;
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

TEST_F(SessionTest, ProgramExitStatuses) {
  {
    // Nothing listens on 127.0.0.1:2222: the connect step fails, says so and exits 1.
    const ProgramRun r = runProgram({"127.0.0.1", "--connect", "--run-for", "5000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bandscope: cannot connect to 127.0.0.1 (-7)\n"), std::string::npos) << r.err;
  }
  {
    mixtest::ScriptedPeer peer;
    ASSERT_TRUE(peer.ok());
    const ProgramRun r = runProgram({"127.0.0.1", "--connect", "--run-for", "300"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(countOf(peer.received(), kRenewal), 1);
  }
  {
    const ProgramRun r = runProgram({"--no-such-option"});
    EXPECT_EQ(r.status, 2);
  }
}

}  // namespace
