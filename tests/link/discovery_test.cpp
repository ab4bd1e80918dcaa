// SPDX-License-Identifier: MIT
// Discovery: the reply parser as a pure function, and the broadcast search and the host address
// inside a private network namespace that this test makes for itself, so no probe ever leaves
// the machine's own stack.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <mixlink/link.h>

#include "link/sockets.h"
#include "scripted_peer.h"

namespace {

using mixtest::Bytes;
using Clock = std::chrono::steady_clock;

constexpr char kInsideEnv[] = "MIXLINK_TEST_IN_NETNS";
constexpr int kCannotIsolate = 77;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// ---- Inside a private network namespace ----

bool inside() { return std::getenv(kInsideEnv) != nullptr; }

// The outer run: makes the namespace in a child and runs the NetNs tests there.
TEST(Discovery, RunsInItsOwnNetworkNamespace) {
  if (inside()) GTEST_SKIP() << "this is the run inside the namespace";
  if (geteuid() != 0) GTEST_SKIP() << "making a network namespace needs root; not root";
  if (std::system("command -v ip >/dev/null 2>&1") != 0) GTEST_SKIP() << "the ip command is not installed";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(kCannotIsolate);
    setenv(kInsideEnv, "1", 1);
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) _exit(kCannotIsolate);
    execl(self, self, "--gtest_filter=NetNs.*", static_cast<char*>(nullptr));
    _exit(kCannotIsolate);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kCannotIsolate) GTEST_SKIP() << "cannot create a network namespace (unshare failed)";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the tests inside the namespace failed (see their output above)";
}

bool sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// Answers probes on UDP port 2222 as a console would, with one scripted answer per probe.
class Responder {
 public:
  using Script = std::function<std::optional<std::string>(int probe)>;

  explicit Responder(Script script) : script_(std::move(script)) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(2222);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd_);
      fd_ = -1;
      return;
    }
    thread_ = std::thread([this] { run(); });
  }
  ~Responder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int probes() const { return probes_; }
  Bytes last_probe() {
    std::lock_guard<std::mutex> l(mu_);
    return last_;
  }

 private:
  void run() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      unsigned char buf[512];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n <= 0) continue;
      {
        std::lock_guard<std::mutex> l(mu_);
        last_.assign(buf, buf + n);
      }
      const int probe = probes_++;
      if (auto answer = script_(probe))
        sendto(fd_, answer->data(), answer->size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }

  Script script_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> probes_{0};
  std::mutex mu_;
  Bytes last_;
  std::thread thread_;
};

class NetNs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inside()) GTEST_SKIP() << "runs only inside the namespace that Discovery.RunsInItsOwnNetworkNamespace makes";
  }
  void TearDown() override { wClose(); }

  // One veth pair; the end the probes leave by gets a /24 and the limited-broadcast route.
  static void make_network() {
    ASSERT_TRUE(sh("ip link set lo up"));
    ASSERT_TRUE(sh("ip link add mlv0 type veth peer name mlv1"));
    ASSERT_TRUE(sh("ip link set mlv0 up"));
    ASSERT_TRUE(sh("ip link set mlv1 up"));
  }
  static void add_24() {
    ASSERT_TRUE(sh("ip addr add 10.77.0.1/24 dev mlv0"));
    ASSERT_TRUE(sh("ip route add 255.255.255.255/32 dev mlv0"));
  }
};

constexpr int kAddress10_77_0_1 = 10 | 77 << 8 | 0 << 16 | 1 << 24;

// Runs first (gtest keeps the order of definition), before the /24 exists.
TEST_F(NetNs, HostAddressIsTheFirstOnA24AndSearchNeedsOne) {
  make_network();
  EXPECT_EQ(getmyIP(), 0) << "loopback never counts";
  ASSERT_TRUE(sh("ip addr add 10.78.0.1/16 dev mlv0"));
  EXPECT_EQ(getmyIP(), 0) << "a /16 does not count";
  Responder console([](int) { return std::string("WING,127.0.0.1,"); });
  ASSERT_TRUE(console.ok());
  char address[32] = {};
  EXPECT_EQ(wSearchWING(address), -7);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(console.probes(), 0) << "no probe without a /24";
  add_24();
  EXPECT_EQ(getmyIP(), kAddress10_77_0_1);
  ASSERT_TRUE(sh("ip addr add 10.79.0.1/24 dev mlv0"));
  EXPECT_EQ(getmyIP(), kAddress10_77_0_1) << "the first /24 is taken";
  ASSERT_TRUE(sh("ip addr del 10.79.0.1/24 dev mlv0"));
}

TEST_F(NetNs, ReplyGivesTheAddressAndTheProbeIsExact) {
  Responder console([](int) { return std::string("WING,192.0.2.10,ngc-full,S123,3.0"); });
  ASSERT_TRUE(console.ok());
  char address[32] = {};
  EXPECT_EQ(wSearchWING(address), 1);
  EXPECT_STREQ(address, "192.0.2.10");
  EXPECT_EQ(console.probes(), 1);
  EXPECT_EQ(console.last_probe(), text("WING?"));
}

TEST_F(NetNs, LongAddressFieldIsCutToSixteen) {
  Responder console([](int) { return std::string("WING,192.168.100.1000000"); });
  char address[32] = {};
  EXPECT_EQ(wSearchWING(address), 1);
  EXPECT_STREQ(address, "192.168.100.1000");
}

TEST_F(NetNs, ShortOrForeignRepliesUseUpATry) {
  struct Case {
    const char* what;
    std::string first;
  } cases[] = {{"short", "WING,"}, {"foreign", "XING,10.77.0.7,"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Responder console([&](int probe) { return probe == 0 ? c.first : std::string("WING,10.77.0.9,"); });
    char address[32] = {};
    const auto t0 = Clock::now();
    EXPECT_EQ(wSearchWING(address), 1);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 0.45) << "the next probe goes out at once";
    EXPECT_STREQ(address, "10.77.0.9");
    EXPECT_EQ(console.probes(), 2);
  }
}

TEST_F(NetNs, SilenceEndsAfterFiveProbes) {
  Responder console([](int) { return std::nullopt; });
  char address[32] = "keep";
  const auto t0 = Clock::now();
  EXPECT_EQ(wSearchWING(address), 0);
  const double took = std::chrono::duration<double>(Clock::now() - t0).count();
  EXPECT_GE(took, 2.4);
  EXPECT_LT(took, 3.5);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(console.probes(), 5);
  EXPECT_STREQ(address, "keep");
}

TEST_F(NetNs, OpenWithoutAnAddressDiscoversThenConnects) {
  mixtest::ScriptedPeer peer;  // the console's native port, on loopback inside the namespace
  ASSERT_TRUE(peer.ok());
  peer.reply(mixtest::escaped({0x01}), 8);
  Responder console([](int) { return std::string("WING,127.0.0.1,ngc-full"); });
  char address[32] = {};
  EXPECT_EQ(wOpen(address), 1);
  EXPECT_STREQ(address, "127.0.0.1");
  EXPECT_EQ(wing_msocket, -1) << "the discovery socket is released before connecting";
  EXPECT_EQ(peer.accepts(), 1);
}

TEST_F(NetNs, OpenWithoutAnAddressOrAConsoleGivesMinusSix) {
  mixtest::ScriptedPeer peer;
  Responder console([](int) { return std::nullopt; });
  char address[32] = {};
  EXPECT_EQ(wOpen(address), -6);
  EXPECT_EQ(peer.accepts(), 0);
}

}  // namespace
