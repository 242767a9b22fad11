// SPDX-License-Identifier: GPL-2.0-or-later
#include "tools/rewind_sim/rewind_simulator.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/process.h"
#include "common/rewind_test_support.h"
#include "network/odmrtp_class.h"
#include "version.h"

namespace {

using testing_support::ChildProcess;
using testing_support::drain;
using testing_support::ForeignSender;
using testing_support::receiveNext;
using testing_support::Reception;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr unsigned int kUserID = 4660;

class RewindSimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.setPassword("pw");
    ASSERT_TRUE(sim.start("127.0.0.1", 0)) << sim.error();
    port = std::to_string(sim.port());
  }

  void login(unsigned int tg = 91) {
    ASSERT_EQ(client.ConnectRewindClient("127.0.0.1", port.c_str(), "pw", tg), 0);
    sim.waitForPacketCount(6, 2000);  // the whole login exchange, its last keep-alive included
    drain(client);
    sim.clearPackets();
  }

  // Receives what the server sends until a terminator arrives (at most limit packets).
  std::vector<Reception> receiveCall(size_t limit = 200) {
    std::vector<Reception> call;
    while (call.size() < limit) {
      Reception r = receiveNext(client, 3000);
      if (r.result < 0) break;
      call.push_back(r);
      if (r.type() == REWIND_TYPE_DMR_DATA_BASE + 2) break;
    }
    return call;
  }

  RewindSimulator sim;
  ODMRTP_CLASS client{kUserID, ZELK_NAME "_" ZELK_VERSION};
  std::string port;
};

TEST(RewindSimulatorStart, ListensOnlyOnLoopback) {
  RewindSimulator sim;
  EXPECT_FALSE(sim.start("192.0.2.1", 0));
  EXPECT_NE(sim.error().find("loopback"), std::string::npos);
  EXPECT_FALSE(sim.start("localhost", 0)) << "numeric addresses only";
  ASSERT_TRUE(sim.start("::1", 0)) << sim.error();
  EXPECT_GT(sim.port(), 0);
}

TEST_F(RewindSimulatorTest, PlaysAGroupCallIntoTheSubscribedTalkGroup) {
  login(91);
  // Of the set subscribed since the cancelling packet, the first is the current group.
  client.setStaticTalkGroups({262, 91, 262, 2});
  client.subscribeTalkGroups(91);
  ASSERT_TRUE(sim.waitForSubscriptions({2, 91, 262}, 2000));
  EXPECT_EQ(sim.packetsOfType(REWIND_TYPE_SUBSCRIPTION).size(), 3u);
  drain(client);
  SimCall call;
  call.source = 2345678;
  call.bursts = 5;
  call.aliasAfterBurst = 2;
  call.talkerAlias = "DL1ABC Bob";
  Clock::time_point start = Clock::now();
  ASSERT_TRUE(sim.playCall(call));
  std::vector<Reception> got = receiveCall();
  double took = std::chrono::duration<double>(Clock::now() - start).count();

  // 3 headers, bursts 0 and 1, two alias blocks, bursts 2 to 4, the terminator.
  ASSERT_EQ(got.size(), 11u);
  const Bytes header = {0x00, 0, 0, 0x00, 0x00, 0x5B, 0x23, 0xCA, 0xCE, 0, 0, 0};
  std::vector<uint16_t> types;
  for (size_t i = 0; i < got.size(); ++i) {
    types.push_back(got[i].type());
    EXPECT_EQ(got[i].flags(), 1);
    if (i > 0) {
      EXPECT_EQ(got[i].sequence(), got[i - 1].sequence() + 1);
    }
  }
  const uint16_t H = REWIND_TYPE_DMR_DATA_BASE + 1, B = REWIND_TYPE_DMR_VOICE_FRAME,
                 A = REWIND_TYPE_DMR_EMBEDDED_DATA, T = REWIND_TYPE_DMR_DATA_BASE + 2;
  EXPECT_EQ(types, (std::vector<uint16_t>{H, H, H, B, B, A, A, B, B, B, T}));
  EXPECT_EQ(got[0].payload(), header);
  uint8_t expected[27];
  RewindSimulator::burstPayload(3, expected);
  EXPECT_EQ(got[8].payload(), Bytes(expected, expected + 27));
  EXPECT_EQ(got[5].payload(), (Bytes{0x04, 0x00, 0x54, 'D', 'L', '1', 'A', 'B', 'C'}));
  EXPECT_EQ(got[6].payload(), (Bytes{0x05, 0x00, ' ', 'B', 'o', 'b', 0, 0, 0}));
  EXPECT_GE(took, 0.45) << "nine paced packets are 60 ms apart";
  EXPECT_TRUE(sim.waitCallsDone(1000));
  EXPECT_EQ(sim.callsPlayed(), 1);
}

TEST_F(RewindSimulatorTest, PlaysPrivateCallsAndRefusesWithoutALogin) {
  SimCall call;
  call.privateCall = true;
  call.destination = kUserID;
  call.bursts = 1;
  call.dmrPace = false;
  EXPECT_FALSE(sim.playCall(call)) << "nobody to play to";
  login();
  ASSERT_TRUE(sim.playCall(call));
  std::vector<Reception> got = receiveCall();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0].payload(), (Bytes{0x03, 0, 0, 0x00, 0x12, 0x34, 0x23, 0xCA, 0xCE, 0, 0, 0}));
}

TEST_F(RewindSimulatorTest, ParrotEchoesTheClientsCallAfterItEnds) {
  sim.setParrot(true, 0, false);
  login();
  client.beginTransmission(kUserID, 91, 0);
  uint8_t burst[27];
  for (int i = 0; i < 4; ++i) {
    RewindSimulator::burstPayload(100 + i, burst);
    client.transmitAudio(burst);
  }
  client.endTransmission();

  std::vector<Reception> echo = receiveCall();
  ASSERT_EQ(echo.size(), 8u);
  const Bytes header = {0x00, 0, 0, 0x00, 0x00, 0x5B, 0x00, 0x12, 0x34, 0, 0, 0};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(echo[i].payload(), header);
  for (int i = 0; i < 4; ++i) {
    RewindSimulator::burstPayload(100 + i, burst);
    EXPECT_EQ(echo[3 + i].payload(), Bytes(burst, burst + 27)) << "burst " << i;
  }
  EXPECT_EQ(echo[7].type(), REWIND_TYPE_DMR_DATA_BASE + 2);
}

TEST_F(RewindSimulatorTest, SilenceAndKeepAliveRepliesCanBeSwitched) {
  login();
  sim.setSilent(true);
  client.TransmitRewindKeepAlive();
  EXPECT_EQ(receiveNext(client, 300).result, -1);
  EXPECT_TRUE(sim.waitForPacket(REWIND_TYPE_KEEP_ALIVE, 1, 1000)) << "silent still records";

  sim.setSilent(false);
  sim.setAnswerKeepAlives(false);
  client.TransmitRewindKeepAlive();
  EXPECT_EQ(receiveNext(client, 300).result, -1);
  client.SetRewindSubscription(2);
  Reception confirmation = receiveNext(client, 2000);
  EXPECT_EQ(confirmation.type(), REWIND_TYPE_SUBSCRIPTION);

  sim.setAnswerKeepAlives(true);
  client.TransmitRewindKeepAlive();
  EXPECT_EQ(receiveNext(client, 2000).type(), REWIND_TYPE_KEEP_ALIVE);
}

TEST_F(RewindSimulatorTest, RecordsGarbageAndAnswersNobodyButTheClient) {
  login();
  std::string endpoint = sim.clientEndpointText();
  sockaddr_storage server;
  memset(&server, 0, sizeof(server));
  auto* v4 = reinterpret_cast<sockaddr_in*>(&server);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(static_cast<uint16_t>(sim.port()));
  v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ForeignSender other;
  Bytes garbage = {'R', 'E', 'W', 'I', 'N', 'D'};
  ASSERT_TRUE(other.sendTo(server, sizeof(sockaddr_in), garbage.data(), garbage.size()));
  ASSERT_TRUE(sim.waitForPacketCount(1, 2000));
  SimPacket recorded = sim.packets()[0];
  EXPECT_FALSE(recorded.wellFormed);
  EXPECT_EQ(recorded.raw, garbage);
  EXPECT_EQ(sim.clientEndpointText(), endpoint) << "a malformed datagram does not take over the session";
}

TEST(RewindSimulatorProgram, PrintsTheLoginItServesAndEndsOnSignal) {
  const int port = testing_support::freeUdpPort();
  ASSERT_GT(port, 0);
  ChildProcess sim({testing_support::binaryPath("zelk-rewind-sim"), "--port", std::to_string(port), "--password",
                    "pw", "--play-after", "0", "--play-bursts", "2", "--fast", "--exit-after", "60"});
  ASSERT_TRUE(sim.waitForOutput("LISTEN 127.0.0.1 port " + std::to_string(port), 10000)) << sim.errors();

  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  ASSERT_EQ(client.ConnectRewindClient("127.0.0.1", std::to_string(port).c_str(), "pw", 91), 0);
  ASSERT_TRUE(sim.waitForOutput("TX DMR_VOICE_TERMINATOR", 10000)) << sim.output();
  const std::string out = sim.output();
  EXPECT_NE(out.find("RX KEEP_ALIVE seq=0 len="), std::string::npos) << out;
  EXPECT_NE(out.find(" id=4660 \"" ZELK_NAME "_" ZELK_VERSION " "), std::string::npos) << out;
  EXPECT_NE(out.find("TX CHALLENGE seq=0 len=16"), std::string::npos) << out;
  EXPECT_NE(out.find("LOGIN 127.0.0.1:"), std::string::npos) << out;
  EXPECT_NE(out.find("RX SUBSCRIPTION seq=4 len=8 tg=91"), std::string::npos) << out;
  EXPECT_NE(out.find("TX SUBSCRIPTION seq=2 len=8 tg=91\nGROUPS 91\n"), std::string::npos) << out;
  EXPECT_NE(out.find("PLAY group call 2345678 -> 91: 3 headers, 2 bursts"), std::string::npos) << out;

  sim.sendSignal(SIGUSR1);
  EXPECT_TRUE(sim.waitForOutput("SILENT", 5000)) << sim.output();
  sim.sendSignal(SIGTERM);
  EXPECT_EQ(sim.waitExit(5000), 0);
  EXPECT_NE(sim.output().find("BYE"), std::string::npos);
}

TEST(RewindSimulatorProgram, RejectsBadOptions) {
  ChildProcess sim({testing_support::binaryPath("zelk-rewind-sim"), "--port", "many"});
  EXPECT_EQ(sim.waitExit(5000), 2);
  EXPECT_NE(sim.errors().find("--port needs a number"), std::string::npos) << sim.errors();
}

}  // namespace
