// SPDX-License-Identifier: MIT
// bandscope against a console on loopback: a scripted peer for the exact bytes and timing, mixsim
// for the live picture and its loss, and the program itself for its exit statuses.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <mixlink/link.h>

#include "qt_app.h"
#include "scripted_peer.h"
#include "sim_process.h"
#include "window.h"

namespace {

using bandscope::BandscopeWindow;
using bandscope::Status;
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

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Bytes waiting unread in the receive queue of this process's connection to port 2222, from
// /proc/net/tcp; -1 when there is no such connection.
long unreadFromConsole() {
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  std::getline(tcp, line);
  while (std::getline(tcp, line)) {
    std::istringstream f(line);
    std::string slot, local, remote, state, queues;
    f >> slot >> local >> remote >> state >> queues;
    if (remote.size() > 5 && remote.substr(remote.size() - 5) == ":08AE" && state == "01")
      return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
  }
  return -1;
}

// Pixels of the bar area that are neither grey nor white.
int colouredBarPixels(BandscopeWindow& w) { return apptest::colouredBarPixels(w.grab().toImage()); }

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

  // Presses Connect and waits for the link to come up.
  static bool connectTo(BandscopeWindow& w) {
    w.show();
    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    return apptest::pumpUntil([&] { return w.isReady(); }, 5000);
  }
};

TEST_F(SessionTest, TypedAddressConnectsSubscribesRenewsDrainsAndShowsBars) {
  mixtest::ScriptedPeer peer;
  ASSERT_TRUE(peer.ok());
  mixtest::UdpPeer meters;
  ASSERT_TRUE(meters.ok());

  BandscopeWindow w;
  w.show();
  QSignalSpy finished(&w, &BandscopeWindow::finished);
  QTest::keyClicks(w.addressBox(), " 127.0.0.1 ");
  // The peer never answers the keep-alive, so connecting waits 0.9 s for a reply: not the window.
  const auto pressed = Clock::now();
  QTest::mouseClick(w.connectButton(), Qt::LeftButton);
  EXPECT_LT(secondsSince(pressed), 0.3);
  EXPECT_EQ(w.connectButton()->text(), QStringLiteral("Connecting..."));
  ASSERT_TRUE(apptest::pumpUntil([&] { return w.isReady(); }, 5000));
  EXPECT_EQ(w.connectButton()->text(), QStringLiteral("Connect"));
  EXPECT_EQ(w.addressBox()->text(), QStringLiteral("127.0.0.1")) << "the box shows the address used";

  // Connect, meter port, subscription, then the first renewal at once.
  const Bytes opening = mixtest::cat({kSelect1, kKeepAlive, kMeterPort, kSubscribe, kRenewal});
  ASSERT_TRUE(peer.wait_received(opening.size()));
  const auto first_renewal = Clock::now();
  const Bytes received = peer.received();
  EXPECT_EQ(Bytes(received.begin(), received.begin() + static_cast<long>(opening.size())), opening);

  // What the console sends on the TCP connection is read and thrown away.
  peer.reply(Bytes(100000, 0x42));
  ASSERT_TRUE(peer.wait_replies_sent());
  EXPECT_TRUE(apptest::pumpUntil([] { return unreadFromConsole() == 0; }, 2000)) << unreadFromConsole();
  // From here on the console answers what it is asked (the link asks a quiet console whether it
  // is still there, and gives it up when it says nothing for 3 s).
  for (int i = 0; i < 60; ++i) peer.reply(mixtest::escaped({0x01}), kKeepAlive.size());

  // A datagram's values become the bars.
  Bytes datagram(244, 0);
  for (int i = 0; i < bandscope::kBarCount; ++i) datagram[4 + 2 * i] = 0x80;
  datagram[4] = 0x00;            // bar 0 full scale
  datagram[4 + 2 * 119] = 0xFF;  // bar 119: -1
  datagram[5 + 2 * 119] = 0xFF;
  ASSERT_TRUE(meters.send_to(10026, datagram));
  ASSERT_TRUE(apptest::pumpUntil([&] { return w.model().band(0).height == 128; }, 2000));
  EXPECT_EQ(w.model().band(119).height, 127);
  EXPECT_EQ(w.model().band(60).height, 0);
  EXPECT_EQ(w.grab().toImage().pixelColor(12, 45), QColor(255, 30, 0));

  // The next renewal waits for the whole-second clock to move on by 5.
  ASSERT_TRUE(apptest::pumpUntil([&] { return countOf(peer.received(), kRenewal) >= 2; }, 7000));
  const double gap = secondsSince(first_renewal);
  EXPECT_GE(gap, 4.0);
  EXPECT_LE(gap, 6.5);
  EXPECT_EQ(countOf(peer.received(), kRenewal), 2);
  EXPECT_GE(countOf(peer.received(), kKeepAlive), 2) << "the keep-alive goes on after connecting";
  const Bytes subscription(kSubscribe.begin() + 2, kSubscribe.end());  // channel 3 already selected
  EXPECT_TRUE(apptest::pumpUntil([&] { return countOf(peer.received(), subscription) >= 3; }, 3000))
      << "asked again every 2 s while no datagram comes";

  // The second press ends the run with status 0 and sends nothing more.
  QTest::mouseClick(w.connectButton(), Qt::LeftButton);
  ASSERT_EQ(finished.count(), 1);
  EXPECT_EQ(finished.at(0).at(0).toInt(), 0);
  EXPECT_FALSE(w.isRunning());
  ASSERT_TRUE(w.waitLinkStopped(2000));
  const size_t after_press = peer.received().size();
  QTest::qWait(100);
  EXPECT_EQ(peer.received().size(), after_press);
}

// A backlog that built up while the window was busy is read datagram by datagram, not just its
// last one. (Keeping up with a steady rate is measured by scripts/measure-bandscope.)
TEST_F(SessionTest, ReadsEveryDatagramOfABacklog) {
  mixtest::ScriptedPeer peer;
  ASSERT_TRUE(peer.ok());
  mixtest::UdpPeer udp;
  ASSERT_TRUE(udp.ok());
  BandscopeWindow w(QStringLiteral("127.0.0.1"));
  ASSERT_TRUE(connectTo(w));

  constexpr int kBacklog = 64;
  Bytes datagram(244, 0);
  for (int i = 0; i < kBacklog; ++i) {
    datagram[4] = static_cast<unsigned char>(i);  // bar 0 ends at the last one's value
    ASSERT_TRUE(udp.send_to(10026, datagram));
  }
  EXPECT_TRUE(apptest::pumpUntil([&] { return w.stats().datagrams >= kBacklog && w.stats().frames >= 1; }, 3000))
      << "read " << w.stats().datagrams << " of " << kBacklog;
  EXPECT_EQ(w.model().band(0).height, bandscope::barHeight(static_cast<int16_t>((kBacklog - 1) << 8)));
}

TEST_F(SessionTest, DatagramsFromAnotherAddressAreDroppedAndCounted) {
  mixtest::ScriptedPeer peer;
  ASSERT_TRUE(peer.ok());
  mixtest::UdpPeer stranger(0, "127.0.0.2");
  ASSERT_TRUE(stranger.ok());
  mixtest::UdpPeer console;
  ASSERT_TRUE(console.ok());
  BandscopeWindow w(QStringLiteral("127.0.0.1"));
  ASSERT_TRUE(connectTo(w));

  const Bytes full(244, 0);  // every bar at full scale
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(stranger.send_to(10026, full));
  ASSERT_TRUE(apptest::pumpUntil([&] { return w.model().droppedForeign() == 3; }, 2000));
  EXPECT_FALSE(w.model().hasValues()) << "no bar from a stranger";
  ASSERT_TRUE(console.send_to(10026, full));
  ASSERT_TRUE(apptest::pumpUntil([&] { return w.model().hasValues(); }, 2000));
  EXPECT_EQ(w.model().band(50).height, 128);
  EXPECT_EQ(w.model().droppedForeign(), 3);
}

// A console whose datagrams are cut short of the RTA block: they are counted, no bar is drawn,
// and the status says that no meter data comes.
TEST_F(SessionTest, CutDatagramsAreCountedAndShowNoMeterData) {
  if (*mixtest::sim_executable() == '\0') GTEST_SKIP() << "mixsim is not built";
  mixtest::SimProcess sim(std::vector<std::string>{"--rate", "50", "--short-meters"});
  ASSERT_TRUE(sim.ok());
  BandscopeWindow w(QStringLiteral("127.0.0.1"));
  ASSERT_TRUE(connectTo(w));
  ASSERT_TRUE(apptest::pumpUntil([&] { return w.model().droppedShort() >= 20 && w.statusLine().startsWith("No meter data for"); }, 4000))
      << w.model().droppedShort() << " " << w.statusLine().toStdString();
  EXPECT_FALSE(w.model().hasValues());
  EXPECT_EQ(colouredBarPixels(w), 0);
}

// The console stops sending (stopped, or killed) and comes back: the bars go grey within half a
// second, the status says why, and colour returns without a click.
TEST_F(SessionTest, LostConsoleGoesGreyAndComesBackOnItsOwn) {
  if (*mixtest::sim_executable() == '\0') GTEST_SKIP() << "mixsim is not built";
  struct Case {
    const char* name;
    int signal;
    Status::Kind while_away;
    int notice_ms;  // how soon the status says so
  };
  const Case cases[] = {
      {"stopped and continued", SIGSTOP, Status::stale, 2000},
      {"killed and restarted", SIGKILL, Status::lost, 2000},
      // Frozen with its sockets open: lost once it has not answered for the silence limit, and a
      // reconnection into its listen backlog does not count until it answers.
      {"frozen past the silence limit", SIGSTOP, Status::lost, W_LINK_SILENCE_MS + 2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<mixtest::SimProcess> sim(std::in_place, std::vector<std::string>{"--rate", "50"});
    ASSERT_TRUE(sim->ok());
    {
      BandscopeWindow w(QStringLiteral("127.0.0.1"));
      auto liveNow = [&] { return w.model().live(bandscope::steadyMicros()); };
      ASSERT_TRUE(connectTo(w));
      ASSERT_TRUE(apptest::pumpUntil(liveNow, 3000));
      EXPECT_EQ(bandscope::statusText(w.model().status(bandscope::steadyMicros())), "Live");

      // Record every paint and whether it showed live bars.
      std::vector<std::pair<Clock::time_point, bool>> paints;
      apptest::EventRecorder recorder(w.findChild<QWidget*>("spectrum"), QEvent::Paint,
                                      [&] { paints.emplace_back(Clock::now(), liveNow()); });
      const auto away = Clock::now();
      ASSERT_EQ(kill(sim->pid(), c.signal), 0);
      auto firstGrey = [&] { return std::find_if(paints.begin(), paints.end(), [](auto& p) { return !p.second; }); };
      ASSERT_TRUE(apptest::pumpUntil([&] { return firstGrey() != paints.end(); }, 2000));
      // 0.5 s after the last datagram, plus room for a busy machine.
      EXPECT_LT(std::chrono::duration<double>(firstGrey()->first - away).count(), 0.5 + 0.3);
      EXPECT_EQ(colouredBarPixels(w), 0);
      EXPECT_TRUE(apptest::pumpUntil([&] { return w.model().status(bandscope::steadyMicros()).kind == c.while_away; },
                                     c.notice_ms))
          << bandscope::statusText(w.model().status(bandscope::steadyMicros()));

      QTest::qWait(1500);  // a while away, with reconnection attempts when lost
      if (c.signal == SIGSTOP) {
        kill(sim->pid(), SIGCONT);
      } else {
        sim->stop();
        sim.emplace(std::vector<std::string>{"--rate", "50"});
        ASSERT_TRUE(sim->ok());
      }
      EXPECT_TRUE(apptest::pumpUntil(liveNow, 5000)) << bandscope::statusText(w.model().status(bandscope::steadyMicros()));
      EXPECT_GT(colouredBarPixels(w), 0);
      EXPECT_TRUE(w.isRunning());
    }
    wClose();
  }
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
    apptest::pumpUntil([&] { return finished.count() > 0; }, 5000);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.line);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), 1);
    EXPECT_FALSE(w.isReady());
    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    QTest::qWait(50);
    EXPECT_EQ(finished.count(), 1) << "a press after the failure does nothing";
    wClose();
  }
}

struct ProgramRun {
  int status = -1;
  std::string err;
};

// Runs the bandscope program with args (its settings in a directory of its own) and returns its
// exit status and standard error.
ProgramRun runProgram(const std::vector<std::string>& args) {
  static QTemporaryDir config;
  std::string cmd = "QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME='" + config.path().toStdString() +
                    "' " BANDSCOPE_EXECUTABLE;
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
    const ProgramRun r = runProgram({"127.0.0.1", "--connect", "--run-for", "1500"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(countOf(peer.received(), kRenewal), 1);
  }
  {
    // A recording that cannot be written ends the run as a failure, not quietly.
    const ProgramRun r = runProgram({"--record", "/dev/full", "--run-for", "300"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bandscope: cannot write /dev/full\n"), std::string::npos) << r.err;
  }
  {
    const ProgramRun r = runProgram({"--no-such-option"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("bandscope: unknown option --no-such-option (try 'bandscope --help')\n"), std::string::npos)
        << r.err;
    const ProgramRun bad = runProgram({"--run-for=soon"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("--run-for takes a whole number of milliseconds from 0 to 86400000, not 'soon'"),
              std::string::npos) << bad.err;
  }
  {
    // A recording replayed without a console, its frame written as CSV for a script.
    QTemporaryDir dir;
    const std::string recording = dir.filePath("r.pcap").toStdString();
    const std::string csv = dir.filePath("r.csv").toStdString();
    {
      BandscopeWindow w;
      ASSERT_TRUE(w.startRecording(QString::fromStdString(recording)));
      Bytes datagram(244, 0);
      for (int k = 0; k < 10; ++k) {
        datagram[4] = static_cast<unsigned char>(0x80 + k);
        w.showDatagram(datagram.data(), static_cast<int>(datagram.size()));
      }
    }
    ProgramRun r = runProgram({"--replay", recording, "--export-csv", csv, "--after", "500"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::ifstream in(csv);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 121);
    EXPECT_NE(text.find("\n0,20.86,-30464,"), std::string::npos) << "band 0 as the last datagram left it";
    r = runProgram({"--replay", csv});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a classic pcap file"), std::string::npos) << r.err;
  }
}

}  // namespace
