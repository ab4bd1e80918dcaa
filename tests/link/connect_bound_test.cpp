// SPDX-License-Identifier: MIT
// Connecting gives up after 3 s on an address that neither accepts nor refuses: here a listener
// whose backlog is full, so the system drops further connection attempts instead of answering.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include <mixlink/link.h>

#include "link/platform.h"

namespace {

namespace detail = mixlink::detail;

TEST(BoundedConnect, ConnectingToAListenerThatDropsTheAttemptGivesUpAfterThreeSeconds) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(2222);
  uint32_t ip = 0;
  ASSERT_TRUE(detail::parse_ipv4("127.0.0.3", &ip));
  at.sin_addr.s_addr = ip;
  detail::socket_t listener = detail::open_socket(true);
  ASSERT_NE(listener, detail::kNoSocket);
  ASSERT_EQ(detail::bind_to(listener, at), 0);
  // The smallest backlog, never accepted from: one connection fills it, and the system drops the
  // attempts that follow (it retries them in the background for minutes).
  ASSERT_EQ(::listen(listener, 0), 0);
  std::vector<detail::socket_t> fillers;
  for (int i = 0; i < 3; ++i) {
    fillers.push_back(detail::open_socket(true));
    detail::connect_within(fillers.back(), at, 200);
  }

  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(wTCPConnect("127.0.0.3"), -7);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(took, 2.9) << "the attempt was answered: the backlog did not drop it";
  EXPECT_LE(took, 3.5);
  wClose();
  for (detail::socket_t& s : fillers) detail::drop_socket(s);
  detail::drop_socket(listener);
}

}  // namespace
