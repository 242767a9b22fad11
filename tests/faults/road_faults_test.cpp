// SPDX-License-Identifier: GPL-2.0-or-later
// The link over a bad road: the real zelk binary reaches the simulator through
// zelk-road, which loses and delays datagrams each way and can play a dead line.
// The relay shares the daemon's driven clock, so its dead lines last the
// daemon's seconds while the test lets whole quiet periods pass at once; its
// jitter is real time, which each quiet period waits out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <set>

#include "faults/fault_fixture.h"
#include "base/unique_fd.h"
#include "network/link_watch.h"

namespace faults {
namespace {

constexpr char kLossyRoad[] = "loss=0.1,jitter=60";
constexpr int kDeadLineSeconds = 20;  // each SIGUSR1 to the relay
constexpr int kExchangeMs = 150;      // a datagram's way through the relay, its jitter included

// The value of a sample of the /metrics text, -1 when it is missing.
double metric(const std::string& text, const std::string& sample) {
  size_t at = text.find("\n" + sample + " ");
  return at == std::string::npos ? -1 : atof(text.c_str() + at + sample.size() + 2);
}

class RoadLink : public Faults {
 protected:
  // The daemon, started with the extra settings, logged in through a relay that
  // plays `road` the ways given ("--both", "--up", "--down").
  void startOnRoad(const std::string& road, const std::string& ways = "--both", const std::string& extra = "") {
    driveClock();
    relay = std::make_unique<ChildProcess>(
        std::vector<std::string>{binaryPath("zelk-road"), "--listen", "127.0.0.1:0", "--server",
                                 "127.0.0.1:" + std::to_string(sim.port()), ways, road, "--pause-on-usr1",
                                 std::to_string(kDeadLineSeconds)},
        "", daemonClock.env());
    ASSERT_TRUE(relay->waitForOutput(", seed 1\n", kWaitMs)) << relay->errors();
    serverPort = portAfter(relay->output(), "listening on 127.0.0.1:");
    startAndLogIn(extra);
    ASSERT_TRUE(relay->waitForOutput("zelk-road: client 127.0.0.1:", kWaitMs));
    struct sockaddr_in* a = reinterpret_cast<struct sockaddr_in*>(&daemonSocket);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(static_cast<uint16_t>(portAfter(relay->output(), "client 127.0.0.1:")));
  }

  static int portAfter(const std::string& text, const std::string& before) {
    size_t at = text.find(before);
    return at == std::string::npos ? 0 : atoi(text.c_str() + at + before.size());
  }

  // Starts a dead line of the relay's and waits until it has begun: its end, in
  // the time of roadNowMs().
  int64_t killTheLine() {
    const int lines = countOccurrences(relay->output(), "zelk-road: dead line for");
    relay->sendSignal(SIGUSR1);
    for (int i = 0; i < 200 && countOccurrences(relay->output(), "zelk-road: dead line for") == lines; ++i) {
      usleep(5 * 1000);
    }
    return roadNowMs() + kDeadLineSeconds * 1000;
  }

  int answersSeen() const { return countOccurrences(zelk->output(), "REWIND_TYPE_KEEP_ALIVE\n"); }

  // One quiet period of the daemon's time at once, so that its keep-alive is due
  // (a stranger's datagram makes it look at the clock); true when the keep-alive
  // reached the server and the answer came back.
  bool quietPeriod() {
    const size_t sent = sim.packetsOfType(REWIND_TYPE_KEEP_ALIVE).size();
    const int answers = answersSeen();
    daemonClock.advance(LinkWatch::kQuietMs);
    testing_support::nudge(daemonSocket, sizeof(struct sockaddr_in));
    if (!sim.waitForPacket(REWIND_TYPE_KEEP_ALIVE, sent + 1, kExchangeMs)) return false;
    for (int i = 0; i < kExchangeMs / 10 && answersSeen() <= answers; ++i) usleep(10 * 1000);
    return answersSeen() > answers;
  }

  // The relay's time (and the daemon's) in milliseconds: the test's monotonic
  // clock and what the test added to theirs.
  int64_t roadNowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
               .count() +
           daemonClock.advanced();
  }

  std::unique_ptr<ChildProcess> relay;
  struct sockaddr_storage daemonSocket {};
};

TEST_F(RoadLink, TenPercentLossAndJitterEachWayHoldTheLinkForAnHour) {
  startOnRoad(kLossyRoad);
  const int periods = 3600 * 1000 / static_cast<int>(LinkWatch::kQuietMs);
  const size_t keepAlivesBefore = sim.packetsOfType(REWIND_TYPE_KEEP_ALIVE).size();
  int answered = 0, unanswered = 0, longestUnanswered = 0;
  for (int i = 0; i < periods; ++i) {
    unanswered = quietPeriod() ? 0 : unanswered + 1;
    answered += unanswered == 0 ? 1 : 0;
    longestUnanswered = std::max(longestUnanswered, unanswered);
  }
  const size_t keepAlives = sim.packetsOfType(REWIND_TYPE_KEEP_ALIVE).size() - keepAlivesBefore;
  printf("%d quiet periods: %zu keep-alives reached the server, %d answers came back, at most %d periods unanswered\n",
         periods, keepAlives, answered, longestUnanswered);
  std::string out = zelk->output();
  EXPECT_EQ(countOccurrences(out, "server connection lost?"), 0)
      << out.substr(out.size() - std::min<size_t>(4000, out.size()));
  EXPECT_EQ(countOccurrences(out, "Successful connection to BM server"), 1);
  // A keep-alive for each quiet period: nine in ten reach the server, and eight
  // in ten answers come back.
  EXPECT_GE(keepAlives, static_cast<size_t>(periods) * 8 / 10);
  EXPECT_GE(answered, periods * 7 / 10);
  EXPECT_TRUE(zelk->running());
}

TEST_F(RoadLink, DeadLineShorterThanTheLostServerTimeIsRiddenOutALongerOneLogsInAgain) {
  startOnRoad(kLossyRoad);
  for (int i = 0; i < 5 && !quietPeriod(); ++i) {
  }
  // 20 s: within the 30 s the daemon waits for an answer.
  killTheLine();
  int dead = 0;
  while (dead < 10 && !quietPeriod()) ++dead;
  EXPECT_GE(dead, kDeadLineSeconds * 1000 / static_cast<int>(LinkWatch::kQuietMs) - 1);
  EXPECT_LE(dead, 5) << "the line stayed dead past its 20 s";
  EXPECT_EQ(countOccurrences(zelk->output(), "server connection lost?"), 0);

  // Dead until the server is found lost, at the first quiet period that ends more
  // than 30 s after the last answer; a new login succeeds once the road is back.
  for (int i = 0; i < 5 && !quietPeriod(); ++i) {
  }
  int64_t deadUntil = 0;
  for (int i = 0; i < 10 && countOccurrences(zelk->output(), "server connection lost?") == 0; ++i) {
    if (i % 3 == 0) deadUntil = killTheLine();
    quietPeriod();
  }
  ASSERT_TRUE(zelk->waitForOutput("server connection lost?\n", kWaitMs)) << zelk->output();
  // The rest of the dead line passes at once; the login under way runs out of
  // time at its next look at the clock, and the next attempt finds the road back.
  if (deadUntil > roadNowMs()) daemonClock.advance(deadUntil - roadNowMs() + 500);
  testing_support::nudge(daemonSocket, sizeof(struct sockaddr_in));
  ASSERT_TRUE(partner.waitUntil([](const std::vector<Datagram>& l) { return countEvents(l, kSuccessEvent) >= 2; },
                                kWaitMs))
      << zelk->output();
  std::string out = zelk->output();
  EXPECT_EQ(countOccurrences(out, "server connection lost?"), 1);
  EXPECT_EQ(countOccurrences(out, "Successful connection to BM server"), 2);
  bool answeredAgain = false;
  for (int i = 0; i < 5 && !answeredAgain; ++i) answeredAgain = quietPeriod();
  EXPECT_TRUE(answeredAgain);
  EXPECT_TRUE(zelk->running());
}

TEST_F(RoadLink, NetworkCallQualityFiguresMatchWhatTheRoadDidOnStatusJsonAndMetrics) {
  const int statusPort = testing_support::freeTcpPort();
  startOnRoad("loss=0.1,jitter=20,dup=0.1,reorder=0.1", "--down", "StatusPort = " + std::to_string(statusPort) + "\n");
  // Without a terminator the call ends at its watchdog, long after any straggler.
  partner.clear();
  SimCall call;
  call.bursts = 80;
  call.terminator = false;
  ASSERT_TRUE(sim.playCall(call));
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, kWaitMs)) << zelk->output();

  // What the road did, as the partner saw it: every burst is forwarded as it comes.
  const std::vector<int> got = burstNumbersAtPartner(partner.received());
  std::set<int> distinct;
  int duplicates = 0, outOfOrder = 0, highest = -1, missing = 0;
  for (int index : got) {
    if (!distinct.insert(index).second) {
      ++duplicates;
    } else if (index < highest) {
      ++outOfOrder;
    }
    highest = std::max(highest, index);
  }
  for (int index = 0; index < highest; ++index) missing += distinct.count(index) == 0 ? 1 : 0;
  ASSERT_GT(duplicates, 0);
  ASSERT_GT(outOfOrder, 0);
  ASSERT_GT(missing, 0);

  nlohmann::json status = nlohmann::json::parse(httpGet(statusPort, "/status.json"), nullptr, false);
  ASSERT_TRUE(status.is_object()) << zelk->output();
  const nlohmann::json& c = status["last_heard"][0];
  printf("at the partner: %zu bursts, %d doubled, %d out of order, %d missing; the daemon's figures: %s\n", got.size(),
         duplicates, outOfOrder, missing, c.dump().c_str());
  EXPECT_EQ(c.value("direction", ""), "from the network") << c;
  EXPECT_EQ(c.value("frames", 0u), got.size()) << c;
  EXPECT_EQ(c.value("duplicates", -1), duplicates) << c;
  EXPECT_EQ(c.value("out_of_order", -1), outOfOrder) << c;
  // A header lost between two that came is a number lost too.
  const int lost = c.value("lost", -1);
  EXPECT_GE(lost, missing) << c;
  EXPECT_LE(lost, missing + 2) << c;
  EXPECT_NEAR(c.value("loss_percent", -1.0), 100.0 * lost / (static_cast<double>(got.size()) - duplicates + lost),
              0.051)
      << c;
  EXPECT_GT(c.value("jitter_ms", 0.0), 0.0) << c;
  EXPECT_EQ(c.value("late", -1), 0);
  EXPECT_EQ(c.value("filled", -1), 0);

  const std::string metrics = httpGet(statusPort, "/metrics");
  EXPECT_EQ(metric(metrics, "zelk_network_frames_lost_total"), lost) << metrics;
  EXPECT_EQ(metric(metrics, "zelk_network_frames_duplicate_total"), duplicates);
  EXPECT_EQ(metric(metrics, "zelk_network_frames_out_of_order_total"), outOfOrder);
  EXPECT_EQ(metric(metrics, "zelk_network_frames_late_total"), 0);
  EXPECT_EQ(metric(metrics, "zelk_network_frames_filled_total"), 0);
  EXPECT_EQ(metric(metrics, "zelk_network_call_jitter_ms_count"), 1);
  EXPECT_EQ(metric(metrics, "zelk_network_call_jitter_ms_bucket{le=\"+Inf\"}"), 1);
}

}  // namespace
}  // namespace faults
