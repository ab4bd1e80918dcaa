// SPDX-License-Identifier: MIT
// Connect with an empty address box discovers the console. The broadcast runs only inside a
// network namespace this test makes for itself (a veth pair on a private /24), never on the host.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <mixlink/link.h>

#include "qt_app.h"
#include "sim_process.h"
#include "window.h"

namespace {

// Moves this process into a fresh network namespace with bsv0 10.213.7.1/24 and bsv1
// 10.213.7.2/24 and a route for the limited broadcast; returns "" or why it could not.
std::string enterPrivateNetwork() {
  if (geteuid() != 0) return "needs root to create a network namespace";
  if (unshare(CLONE_NEWNET) != 0) return "unshare(CLONE_NEWNET) failed";
  const char* setup =
      "ip link set lo up && "
      "ip link add bsv0 type veth peer name bsv1 && "
      "ip addr add 10.213.7.1/24 dev bsv0 && ip addr add 10.213.7.2/24 dev bsv1 && "
      "ip link set bsv0 up && ip link set bsv1 up && "
      "ip route add 255.255.255.255/32 dev bsv0";
  if (std::system(setup) != 0) return "could not set up the veth pair (iproute2 missing?)";
  return "";
}

TEST(Discovery, EmptyAddressBoxFindsTheConsoleAndShowsItsAddress) {
  if (*mixtest::sim_executable() == '\0') GTEST_SKIP() << "mixsim is not built";
  static const std::string why_not = enterPrivateNetwork();
  if (!why_not.empty()) GTEST_SKIP() << why_not;
  apptest::qtApp();

  mixtest::SimProcess sim({"--bind", "0.0.0.0", "--rate", "50"});
  ASSERT_TRUE(sim.ok());
  {
    bandscope::BandscopeWindow w;
    w.show();
    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    ASSERT_TRUE(apptest::pumpUntil([&] { return w.isReady(); }, 8000));
    const QString shown = w.addressBox()->text();
    EXPECT_TRUE(shown == "10.213.7.1" || shown == "10.213.7.2") << shown.toStdString();
    EXPECT_TRUE(apptest::pumpUntil([&] { return w.stats().datagrams >= 5; }, 5000));
  }
  wClose();
}

}  // namespace
