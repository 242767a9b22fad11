// SPDX-License-Identifier: GPL-2.0-or-later
#include "tools/road/road_relay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace {

// A UDP socket on 127.0.0.1 that waits at most 300 ms for each datagram.
struct Socket {
  UniqueFd fd{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  int port = 0;
  Socket() {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(a);
    struct timeval wait = {0, 300000};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
  }
  void sendTo(int to, uint16_t number) const {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(to));
    uint8_t bytes[2] = {static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
    sendto(fd.get(), bytes, sizeof(bytes), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  }
  std::vector<int> receiveAll() const {
    std::vector<int> numbers;
    uint8_t bytes[2];
    while (numbers.size() < 10000 && recv(fd.get(), bytes, sizeof(bytes), 0) == 2) {
      numbers.push_back(bytes[0] << 8 | bytes[1]);
    }
    return numbers;
  }
};

struct Passage {
  std::vector<int> atServer;
  RoadCounts up;
  uint64_t strangers = 0;
};

// count numbered datagrams from a client (and one from a stranger) through a
// relay with these settings; what the server got, in order, and the counts.
Passage relay(RoadSettings settings, int count) {
  Socket server, client, stranger;
  settings.server = "127.0.0.1:" + std::to_string(server.port);
  RoadRelay road;
  Passage run;
  if (!road.open(settings)) {
    ADD_FAILURE() << road.error();
    return run;
  }
  const int listenPort = std::stoi(road.listenText().substr(road.listenText().rfind(':') + 1));
  UniquePipe stop;
  stop.open(O_CLOEXEC);
  std::thread thread([&] { road.run(stop.read.get(), [] { return false; }); });
  std::thread receiver([&] { run.atServer = server.receiveAll(); });
  for (int i = 0; i < count; ++i) {
    client.sendTo(listenPort, static_cast<uint16_t>(i));
    if (i == 0) stranger.sendTo(listenPort, 9999);
    usleep(1000);
  }
  receiver.join();
  ssize_t written = write(stop.write.get(), "x", 1);
  thread.join();
  EXPECT_EQ(written, 1);
  run.up = road.counts(RoadWay::Up);
  run.strangers = road.strangers();
  return run;
}

TEST(RoadRelay, RefusesBadSpecsAndAddressesThatAreNotLoopback) {
  RoadSpec spec;
  std::string error;
  EXPECT_TRUE(parseRoadSpec("loss=0.1,burst=0.01:0.3,delay=5,jitter=120,dup=0.02,reorder=0.01", &spec, &error));
  EXPECT_EQ(spec.burstLoss, 1.0);
  EXPECT_EQ(spec.jitterMs, 120);
  for (const char* bad : {"loss=1.5", "loss=", "jitter=-1", "burst=0.1", "burst=0.1:0.2:0.3:0.4", "drop=0.1", "loss"}) {
    EXPECT_FALSE(parseRoadSpec(bad, &spec, &error)) << bad;
  }
  RoadRelay road;
  RoadSettings settings;
  settings.server = "127.0.0.1:54006";
  for (const char* bad : {"10.0.0.1:0", "0.0.0.0:0", "[::]:0", "127.0.0.1", "::1:0", "127.0.0.1:70000"}) {
    settings.listen = bad;
    EXPECT_FALSE(road.open(settings)) << bad;
    EXPECT_TRUE(road.settingsRefused()) << bad;
  }
  settings.listen = "[::1]:0";
  EXPECT_TRUE(road.open(settings)) << road.error();
  EXPECT_EQ(road.listenText().rfind("[::1]:", 0), 0u);
}

TEST(RoadRelay, SameSeedGivesTheSameRoadAndEachEffectShows) {
  RoadSettings settings;
  settings.seed = 42;
  std::string error;
  ASSERT_TRUE(parseRoadSpec("loss=0.1,dup=0.05,reorder=0.05", &settings.up, &error));
  Passage first = relay(settings, 400), second = relay(settings, 400);
  // Which datagrams pass, and how often, is the seed's; where a copy lands is the timing's.
  std::vector<int> once = first.atServer, again = second.atServer;
  std::sort(once.begin(), once.end());
  std::sort(again.begin(), again.end());
  EXPECT_EQ(once, again);
  EXPECT_EQ(first.up.lost, second.up.lost);
  EXPECT_EQ(first.strangers, 1u);
  EXPECT_EQ(first.up.received, 400u);
  EXPECT_NEAR(static_cast<double>(first.up.lost), 40, 20);
  EXPECT_GT(first.up.doubled, 5u);
  EXPECT_GT(first.up.reordered, 5u);
  EXPECT_EQ(first.up.sent, first.up.received - first.up.lost + first.up.doubled);
  EXPECT_EQ(first.atServer.size(), first.up.sent);
  size_t overtaken = 0;
  for (size_t i = 1; i < first.atServer.size(); ++i) overtaken += first.atServer[i] < first.atServer[i - 1] ? 1 : 0;
  EXPECT_GE(overtaken, first.up.reordered);

  // A dead line from the start: nothing passes.
  settings.pauses.push_back({0, 3600});
  Passage dead = relay(settings, 50);
  EXPECT_TRUE(dead.atServer.empty());
  EXPECT_EQ(dead.up.lost, 50u);
}

}  // namespace
