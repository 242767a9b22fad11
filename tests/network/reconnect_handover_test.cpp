// SPDX-License-Identifier: GPL-2.0-or-later
// The reconnect hand-over between the dispatcher and the network thread, with a
// login that only records what it was asked.
#include "network/reconnect_handover.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

namespace {

bool readable(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 5000) == 1;
}

TEST(ReconnectHandOver, RequestWakesTheNetworkThreadAndGetsTheLoginsResult) {
  std::atomic<bool> done{false};
  ReconnectHandOver handOver(done);
  ASSERT_EQ(handOver.openError(), 0);
  auto never = [](const ReconnectHandOver::Request&) { return 99; };
  EXPECT_FALSE(handOver.drainWake());
  EXPECT_FALSE(handOver.serve(never));  // nothing pending: the login does not run

  for (int answer : {0, -3}) {
    int result = 1;
    std::thread dispatcher([&] { result = handOver.request("h.example", "54005", "secret", 2000); });
    ASSERT_TRUE(readable(handOver.wakeFd()));
    ASSERT_TRUE(handOver.drainWake());
    ReconnectHandOver::Request seen;
    int served = 1;
    EXPECT_TRUE(handOver.serve(
        [&](const ReconnectHandOver::Request& request) {
          seen = request;
          return answer;
        },
        &served));
    dispatcher.join();
    EXPECT_EQ(served, answer);
    EXPECT_EQ(result, answer);
    EXPECT_EQ(seen.host, "h.example");
    EXPECT_EQ(seen.port, "54005");
    EXPECT_EQ(seen.password, "secret");
    EXPECT_EQ(seen.talkGroup, 2000u);
    EXPECT_FALSE(handOver.serve(never));  // served once only
  }
}

TEST(ReconnectHandOver, RequestGivesUpWhenTheDaemonEnds) {
  std::atomic<bool> done{false};
  ReconnectHandOver handOver(done);
  int result = 1;
  std::thread dispatcher([&] { result = handOver.request("h", "1", "p", 0); });
  ASSERT_TRUE(readable(handOver.wakeFd()));
  done = true;
  dispatcher.join();
  EXPECT_EQ(result, -1);
}

}  // namespace
