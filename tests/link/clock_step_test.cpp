// SPDX-License-Identifier: MIT
// The keep-alive's timing against steps of the wall clock (a time server's correction, a laptop
// waking up): this test process puts its own clock functions in front of the C library's, so the
// library linked into it reads a wall clock the test moves at will, and a monotonic clock the test
// can move forward to stand for time passing. The machine's clock is never touched.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include <mixlink/link.h>

#include "scripted_peer.h"

namespace {

std::atomic<long> g_wall_step_s{0};          // added to every reading of the wall clock
std::atomic<long> g_monotonic_advance_s{0};  // added to every reading of the monotonic clock

int real_clock_gettime(clockid_t id, timespec* ts) {
  static const auto real = reinterpret_cast<int (*)(clockid_t, timespec*)>(dlsym(RTLD_NEXT, "clock_gettime"));
  return real(id, ts);
}

}  // namespace

extern "C" int clock_gettime(clockid_t id, timespec* ts) noexcept {
  const int r = real_clock_gettime(id, ts);
  if (r == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) ts->tv_sec += g_wall_step_s;
  if (r == 0 && (id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_COARSE || id == CLOCK_MONOTONIC_RAW ||
                 id == CLOCK_BOOTTIME))
    ts->tv_sec += g_monotonic_advance_s;
  return r;
}

extern "C" time_t time(time_t* out) noexcept {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  if (out != nullptr) *out = ts.tv_sec;
  return ts.tv_sec;
}

extern "C" int gettimeofday(struct timeval* __restrict tv, void* __restrict) noexcept {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tv->tv_sec = ts.tv_sec;
  tv->tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
  return 0;
}

namespace {

using mixtest::Bytes;

const Bytes kKeepAlive{0xD7, 0xC9, 0xCB, 0x20, 0xE0, 0xDC};

TEST(ClockStep, KeepAliveFollowsTheMonotonicClockWhateverTheWallClockDoes) {
  mixtest::ScriptedPeer peer;
  ASSERT_TRUE(peer.ok());
  peer.reply(mixtest::escaped({0x01}), 8);  // answers the connect's select and keep-alive
  char address[32] = "127.0.0.1";
  ASSERT_EQ(wOpen(address), 1);
  ASSERT_TRUE(peer.wait_received(8));
  ASSERT_EQ(wKeepAlive(), 1);  // due at once after connecting; the next one 6 s later
  ASSERT_TRUE(peer.wait_received(14));
  peer.clear_received();

  struct Step {
    const char* what;
    long wall_s;       // the wall clock jumps by this
    long monotonic_s;  // and this much time really passes
    bool sent;
  } steps[] = {
      {"wall clock an hour ahead", 3600, 0, false},
      {"wall clock a day back, 3 s later", -86400, 3, false},
      {"wall clock a year ahead, 7 s after the keep-alive", 365L * 86400, 7, true},
      {"wall clock a day back, 1 s later", -86400, 8, false},
      {"wall clock back where it was, 6 s later", 0, 14, true},
  };
  size_t expected = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    g_wall_step_s = s.wall_s;
    g_monotonic_advance_s = s.monotonic_s;
    const int64_t before = wnow;
    EXPECT_EQ(wKeepAlive(), 1);
    if (s.sent) expected += kKeepAlive.size();
    if (s.sent) {
      EXPECT_TRUE(peer.wait_received(expected));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(peer.received().size(), expected);
    // wnow moves with the monotonic clock alone.
    EXPECT_GE(wnow, before);
    EXPECT_LE(wnow, before + 15);
  }
  g_wall_step_s = 0;
  g_monotonic_advance_s = 0;
  wClose();
}

}  // namespace
