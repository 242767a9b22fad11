// SPDX-License-Identifier: GPL-2.0-or-later
#include "network/odmrtp_class.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/rewind_test_support.h"
#include "support/sha256.h"
#include "tools/rewind_sim/rewind_simulator.h"
#include "version.h"

namespace {

using testing_support::drain;
using testing_support::ForeignSender;
using testing_support::receiveNext;
using testing_support::Reception;
using testing_support::rewindPacket;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr unsigned int kUserID = 4660;  // 0x001234
constexpr char kPassword[] = "s3cret";

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<uint16_t> typesOf(const std::vector<SimPacket>& packets) {
  std::vector<uint16_t> types;
  for (const SimPacket& p : packets) types.push_back(p.type);
  return types;
}

class RewindClientTest : public ::testing::Test {
 protected:
  void SetUp() override { startServer("127.0.0.1"); }

  void startServer(const char* address) {
    sim.stop();
    sim.setPassword(kPassword);
    ASSERT_TRUE(sim.start(address, 0)) << sim.error();
    port = std::to_string(sim.port());
    host = address;
  }

  int connect(ODMRTP_CLASS& client, unsigned int tg = 91, const char* password = kPassword) {
    return client.ConnectRewindClient(host.c_str(), port.c_str(), password, tg);
  }

  // Logs in and forgets everything exchanged so far, on both sides.
  void loginAndForget(ODMRTP_CLASS& client) {
    ASSERT_EQ(connect(client), 0);
    sim.waitForPacketCount(6, 2000);  // the whole login exchange, its last keep-alive included
    drain(client);
    sim.clearPackets();
  }

  // The client's endpoint as the server sees it.
  void clientEndpoint(sockaddr_storage* address, socklen_t* length) {
    ASSERT_TRUE(sim.clientEndpoint(address, length));
  }

  RewindSimulator sim;
  std::string host;
  std::string port;
};

TEST_F(RewindClientTest, LoginSendsKeepAliveAuthenticationAndSubscriptionInOrder) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  ASSERT_EQ(connect(client, 91), 0);
  ASSERT_TRUE(sim.waitForPacketCount(6, 2000));

  std::vector<SimPacket> got = sim.packets();
  ASSERT_EQ(typesOf(got), (std::vector<uint16_t>{REWIND_TYPE_KEEP_ALIVE, REWIND_TYPE_AUTHENTICATION,
                                                 REWIND_TYPE_KEEP_ALIVE, REWIND_TYPE_CANCELLING,
                                                 REWIND_TYPE_SUBSCRIPTION, REWIND_TYPE_KEEP_ALIVE}));
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].sequence, i) << "control packets are numbered from 0 without gaps";
    EXPECT_EQ(got[i].flags, 0);
    EXPECT_EQ(got[i].length, got[i].payload.size());
  }

  struct utsname names;
  ASSERT_EQ(uname(&names), 0);
  Bytes keepAlive = {0x34, 0x12, 0x00, 0x00, 0x21};
  std::string text = std::string(ZELK_NAME "_" ZELK_VERSION " ") + names.sysname + " " + names.machine;
  keepAlive.insert(keepAlive.end(), text.begin(), text.end());
  EXPECT_EQ(got[0].payload, keepAlive);
  EXPECT_EQ(got[0].raw.size(), 18 + keepAlive.size());
  EXPECT_EQ(got[1].payload.size(), 32u);
  EXPECT_TRUE(got[3].payload.empty());
  EXPECT_EQ(got[4].payload, (Bytes{7, 0, 0, 0, 91, 0, 0, 0}));

  EXPECT_TRUE(sim.loggedIn());
  EXPECT_EQ(sim.subscribedTalkGroup(), 91u);
  EXPECT_STREQ(client.getResolvedAddress(), "127.0.0.1");
}

TEST_F(RewindClientTest, LoginWithTalkGroupZeroSubscribesNine) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  ASSERT_EQ(connect(client, 0), 0);
  EXPECT_EQ(sim.subscribedTalkGroup(), 9u);
}

TEST_F(RewindClientTest, ServerOnIpv6LoopbackAcceptsTheLogin) {
  startServer("::1");
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  ASSERT_EQ(connect(client, 91), 0);
  EXPECT_STREQ(client.getResolvedAddress(), "::1");
  EXPECT_EQ(sim.subscribedTalkGroup(), 91u);
}

TEST_F(RewindClientTest, WrongPasswordFailsAfterExactlyThreeAnswers) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  EXPECT_EQ(connect(client, 91, "not-the-password"), REWIND_ERROR_WRONG_PASSWORD);
  sim.waitForPacket(REWIND_TYPE_AUTHENTICATION, 4, 300);  // give a fourth the chance to show up
  EXPECT_EQ(sim.packetsOfType(REWIND_TYPE_AUTHENTICATION).size(), 3u);
  EXPECT_FALSE(sim.loggedIn());
  EXPECT_STREQ(ODMRTP_CLASS::getErrorMessage(REWIND_ERROR_WRONG_PASSWORD), "Wrong Password");
}

TEST_F(RewindClientTest, ChallengesUpToTheReceiveBufferAreAnsweredSafely) {
  for (size_t length : {1u, 64u, 238u}) {
    sim.setChallengeLength(length);
    ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
    EXPECT_EQ(connect(client), 0) << length << "-byte challenge";
  }
  // Longer than the receive buffer: the challenge is cut, the answer is wrong,
  // and the login ends as for a wrong password, without an overrun.
  sim.setChallengeLength(600);
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  EXPECT_EQ(connect(client), REWIND_ERROR_WRONG_PASSWORD);
}

TEST_F(RewindClientTest, UnresolvableNameFailsAtOnceAndSendsNothing) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(client.ConnectRewindClient("no-such-server.invalid", "54006", kPassword, 91), REWIND_ERROR_DNS_RESOLVE);
  EXPECT_LT(secondsSince(start), 4.0);  // well before any login deadline
  EXPECT_EQ(client.TransmitRewindData(REWIND_TYPE_KEEP_ALIVE, 0, nullptr, 0), -1);
  client.shutdownServer();
  EXPECT_EQ(sim.packetCount(), 0u);
}

TEST_F(RewindClientTest, SilentServerTimesOutAfterThreeKeepAlivesTwoSecondsApart) {
  sim.setSilent(true);
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(connect(client), REWIND_ERROR_SERVER_TIMEOUT);
  double took = secondsSince(start);
  EXPECT_GE(took, 5.0);
  EXPECT_LT(took, 8.0);

  std::vector<SimPacket> keepAlives = sim.packetsOfType(REWIND_TYPE_KEEP_ALIVE);
  ASSERT_EQ(keepAlives.size(), 3u);
  for (size_t i = 1; i < keepAlives.size(); ++i) {
    double gap = std::chrono::duration<double>(keepAlives[i].arrival - keepAlives[i - 1].arrival).count();
    EXPECT_NEAR(gap, 2.0, 0.5);
    EXPECT_EQ(keepAlives[i].sequence, i);
  }
}

TEST_F(RewindClientTest, LoginDeadlineRunsOnTheClockItIsGiven) {
  sim.setSilent(true);
  // Each reading of the clock moves it 3 s on, so 5 s pass during the first
  // receive: one keep-alive, and the login gives up.
  ManualTime time;
  time.setStepPerReadingMs(3000);
  ODMRTP_CLASS client(kUserID, "ZELK_0.3.3", ::Clock(&time));
  EXPECT_EQ(connect(client), REWIND_ERROR_SERVER_TIMEOUT);
  EXPECT_FALSE(sim.waitForPacket(REWIND_TYPE_KEEP_ALIVE, 2, 500));
  EXPECT_EQ(sim.packetsOfType(REWIND_TYPE_KEEP_ALIVE).size(), 1u);
}

TEST_F(RewindClientTest, ForeignDatagramsDuringLoginNeitherAbortNorCompleteIt) {
  sim.setSilent(true);
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  std::atomic<int> result{1};
  std::thread login([&] { result = connect(client); });

  ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_KEEP_ALIVE, 1, 3000));
  sockaddr_storage endpoint;
  socklen_t length;
  clientEndpoint(&endpoint, &length);
  ForeignSender stranger;
  Bytes confirmation = rewindPacket(REWIND_TYPE_SUBSCRIPTION, 0, 0, {7, 0, 0, 0, 91, 0, 0, 0});
  Bytes garbage(17, 0x55);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(stranger.sendTo(endpoint, length, confirmation.data(), confirmation.size()));
    EXPECT_TRUE(stranger.sendTo(endpoint, length, garbage.data(), garbage.size()));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(result.load(), 1) << "a stranger's subscription must not complete the login";
  sim.setSilent(false);
  login.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_TRUE(sim.loggedIn());
}

TEST_F(RewindClientTest, ReceiveChecksSourceBeforeContent) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  loginAndForget(client);

  // From the server itself (its IPv4 address arrives IPv4-mapped on the dual-stack socket).
  Bytes keepAlive = rewindPacket(REWIND_TYPE_KEEP_ALIVE, 0, 9, {});
  ASSERT_TRUE(sim.sendRaw(keepAlive.data(), keepAlive.size()));
  Reception accepted = receiveNext(client, 2000);
  EXPECT_EQ(accepted.result, 18);
  EXPECT_EQ(accepted.sequence(), 9u);

  Bytes shortOne(keepAlive.begin(), keepAlive.end() - 1);
  ASSERT_TRUE(sim.sendRaw(shortOne.data(), shortOne.size()));
  EXPECT_EQ(receiveNext(client, 2000).result, REWIND_ERROR_WRONG_DATA);

  Bytes wrongMagic = keepAlive;
  wrongMagic[7] = '2';
  ASSERT_TRUE(sim.sendRaw(wrongMagic.data(), wrongMagic.size()));
  EXPECT_EQ(receiveNext(client, 2000).result, REWIND_ERROR_WRONG_DATA);

  // The server's host on another port: wrong address, even when the content is bad too.
  sockaddr_storage endpoint;
  socklen_t length;
  clientEndpoint(&endpoint, &length);
  ForeignSender stranger;
  ASSERT_TRUE(stranger.sendTo(endpoint, length, keepAlive.data(), keepAlive.size()));
  EXPECT_EQ(receiveNext(client, 2000).result, REWIND_ERROR_WRONG_ADDRESS);
  ASSERT_TRUE(stranger.sendTo(endpoint, length, shortOne.data(), shortOne.size()));
  EXPECT_EQ(receiveNext(client, 2000).result, REWIND_ERROR_WRONG_ADDRESS);
}

TEST_F(RewindClientTest, LongDatagramIsCutToTheBuffer) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  loginAndForget(client);
  Bytes big = rewindPacket(REWIND_TYPE_MESSAGE_TEXT, 0, 0, Bytes(300, 'x'));
  ASSERT_TRUE(sim.sendRaw(big.data(), big.size()));
  Reception cut = receiveNext(client, 2000, 64);
  EXPECT_EQ(cut.result, 64);
  EXPECT_EQ(cut.type(), REWIND_TYPE_MESSAGE_TEXT);
}

TEST_F(RewindClientTest, VoicePacketsAreNumberedApartFromControlPackets) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  loginAndForget(client);  // used control numbers 0 to 5

  client.beginTransmission(7, 91, 0);
  uint8_t burst[27];
  for (int i = 0; i < 27; ++i) burst[i] = static_cast<uint8_t>(0xA0 + i);
  client.transmitAudio(burst);
  client.endTransmission();
  client.TransmitRewindKeepAlive();
  ASSERT_TRUE(sim.waitForPacketCount(6, 2000));

  std::vector<SimPacket> got = sim.packets();
  ASSERT_EQ(got.size(), 6u);
  const Bytes header = {0x00, 0x00, 0x00, 0x00, 0x00, 0x5B, 0x00, 0x12, 0x34, 0x00, 0x00, 0x00};
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(got[i].type, REWIND_TYPE_DMR_DATA_BASE + 1);
    EXPECT_EQ(got[i].flags, 1);
    EXPECT_EQ(got[i].sequence, i);
    EXPECT_EQ(got[i].payload, header) << "the source is always the client's own ID";
  }
  EXPECT_EQ(got[3].type, REWIND_TYPE_DMR_VOICE_FRAME);
  EXPECT_EQ(got[3].sequence, 3u);
  EXPECT_EQ(got[3].length, 27);
  EXPECT_EQ(got[3].payload, Bytes(burst, burst + 27));
  EXPECT_EQ(got[4].type, REWIND_TYPE_DMR_DATA_BASE + 2);
  EXPECT_EQ(got[4].sequence, 4u);
  EXPECT_EQ(got[4].flags, 1);
  EXPECT_EQ(got[4].raw.size(), 18u);
  EXPECT_EQ(got[5].type, REWIND_TYPE_KEEP_ALIVE);
  EXPECT_EQ(got[5].sequence, 6u);
  EXPECT_EQ(got[5].flags, 0);
}

TEST_F(RewindClientTest, PrivateCallHeaderCarriesCallTypeThree) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  loginAndForget(client);
  client.beginTransmission(1, 0x123456, 3);
  ASSERT_TRUE(sim.waitForPacketCount(3, 2000));
  EXPECT_EQ(sim.packets()[0].payload, (Bytes{0x03, 0, 0, 0x12, 0x34, 0x56, 0x00, 0x12, 0x34, 0, 0, 0}));
}

TEST_F(RewindClientTest, SubscriptionAndShutdownPackets) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  loginAndForget(client);

  client.SetRewindSubscription(0);
  client.SetRewindSubscription(3100);
  client.shutdownServer();
  ASSERT_TRUE(sim.waitForPacketCount(5, 2000));
  std::vector<SimPacket> got = sim.packets();
  ASSERT_EQ(typesOf(got), (std::vector<uint16_t>{REWIND_TYPE_CANCELLING, REWIND_TYPE_CANCELLING,
                                                 REWIND_TYPE_SUBSCRIPTION, REWIND_TYPE_CANCELLING,
                                                 REWIND_TYPE_CLOSE}));
  EXPECT_EQ(got[2].payload, (Bytes{7, 0, 0, 0, 0x1C, 0x0C, 0, 0}));
  for (const SimPacket& p : got) {
    EXPECT_EQ(p.flags, 0);
    if (p.type != REWIND_TYPE_SUBSCRIPTION) {
      EXPECT_EQ(p.raw.size(), 18u);
    }
  }
}

TEST_F(RewindClientTest, LocalCallLastsUntilItsTerminatorOrAQuietSpell) {
  ManualTime time;
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION, ::Clock(&time));
  uint8_t burst[27] = {};
  EXPECT_EQ(client.msUntilLocalCallEnds(), 0);
  client.beginTransmission(7, 91, 0);
  time.advanceMs(1000);
  client.transmitAudio(burst);  // a burst holds it open
  time.advanceMs(1000);
  EXPECT_EQ(client.msUntilLocalCallEnds(), 500);
  time.advanceMs(500);
  EXPECT_EQ(client.msUntilLocalCallEnds(), 0) << "a partner that went away";
  client.beginTransmission(7, 91, 0);
  client.endTransmission();
  EXPECT_EQ(client.msUntilLocalCallEnds(), 0);
}

TEST_F(RewindClientTest, ResetClosesTheOldSessionAndNumbersFromZeroAgain) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  loginAndForget(client);
  std::string oldEndpoint = sim.clientEndpointText();
  client.beginTransmission(7, 91, 0);

  ASSERT_EQ(client.resetRewindContext(4661, ZELK_NAME "_" ZELK_VERSION, host.c_str(), port.c_str(), kPassword, 2), 0);
  EXPECT_NE(sim.clientEndpointText(), oldEndpoint) << "a new context has a new socket";
  EXPECT_EQ(sim.subscribedTalkGroup(), 2u);
  std::vector<SimPacket> got = sim.packets();
  ASSERT_GE(got.size(), 6u);
  EXPECT_EQ(got[3].type, REWIND_TYPE_CANCELLING);
  EXPECT_EQ(got[3].source, oldEndpoint);
  EXPECT_EQ(got[4].type, REWIND_TYPE_CLOSE);
  EXPECT_EQ(got[5].type, REWIND_TYPE_KEEP_ALIVE);
  EXPECT_EQ(got[5].sequence, 0u);
  EXPECT_EQ(got[5].payload[0], 0x35) << "the keep-alive carries the new user ID";

  drain(client);
  sim.clearPackets();
  client.beginTransmission(7, 91, 0);
  ASSERT_TRUE(sim.waitForPacketCount(3, 2000));
  EXPECT_EQ(sim.packets()[0].sequence, 0u);
  EXPECT_EQ(sim.packets()[0].payload[8], 0x35) << "calls go out under the new user ID";
}

TEST_F(RewindClientTest, HundredResetsLeakNoDescriptor) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  const int before = testing_support::openDescriptorCount();
  for (int i = 0; i < 100; ++i) {
    const bool login = i % 25 == 0;  // a few real logins, the rest fail fast on the name
    int result = client.resetRewindContext(kUserID, ZELK_NAME "_" ZELK_VERSION, login ? host.c_str() : "server.invalid",
                                           port.c_str(), kPassword, 91);
    EXPECT_EQ(result, login ? 0 : REWIND_ERROR_DNS_RESOLVE);
  }
  EXPECT_EQ(testing_support::openDescriptorCount(), before);
}

TEST_F(RewindClientTest, ConcurrentSendersNeverShareASequenceNumber) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  loginAndForget(client);
  sim.setSilent(true);  // only record

  constexpr int kPerThread = 200;
  auto control = [&] {
    for (int i = 0; i < kPerThread; ++i) client.TransmitRewindKeepAlive();
  };
  auto subscribe = [&] {
    for (int i = 0; i < kPerThread / 2; ++i) client.SetRewindSubscription(91);  // two packets each
  };
  std::thread a(control), b(subscribe), c(control);
  a.join();
  b.join();
  c.join();
  sim.waitForPacketCount(3 * kPerThread, 3000);

  std::set<uint32_t> seen;
  for (const SimPacket& p : sim.packets()) {
    EXPECT_TRUE(seen.insert(p.sequence).second) << "sequence " << p.sequence << " used twice";
  }
  EXPECT_GT(seen.size(), 0u);
  // Whatever the network dropped, no number beyond the ones handed out.
  EXPECT_LT(*seen.rbegin(), 6u + 3 * kPerThread);
}

TEST_F(RewindClientTest, WaitReturnsForTheWakeDescriptorButAnswersOnlyForTheSocket) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  loginAndForget(client);
  int wake[2];
  ASSERT_EQ(pipe(wake), 0);
  ASSERT_EQ(write(wake[1], "x", 1), 1);
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(client.waitForData(5, 0, wake[0]));
  EXPECT_LT(secondsSince(start), 4.0);

  bool woken = false;
  EXPECT_FALSE(client.waitForData(5, 0, wake[0], &woken));
  EXPECT_TRUE(woken);

  Bytes keepAlive = rewindPacket(REWIND_TYPE_KEEP_ALIVE, 0, 0, {});
  ASSERT_TRUE(sim.sendRaw(keepAlive.data(), keepAlive.size()));
  EXPECT_TRUE(client.waitForData(2, 0, wake[0]));
  EXPECT_TRUE(client.waitForData(2, 0, -1));
  // Data without a wake-up: the caller is told not to read the wake descriptor.
  char drained;
  ASSERT_EQ(read(wake[0], &drained, 1), 1);
  EXPECT_TRUE(client.waitForData(2, 0, wake[0], &woken));
  EXPECT_FALSE(woken);
  close(wake[0]);
  close(wake[1]);
}

TEST(RewindClient, ErrorMessagesCoverEveryInteger) {
  EXPECT_STREQ(ODMRTP_CLASS::getErrorMessage(0), "Success");
  EXPECT_STREQ(ODMRTP_CLASS::getErrorMessage(-3), "Wrong Data");
  EXPECT_STREQ(ODMRTP_CLASS::getErrorMessage(3), "Wrong Data");
  EXPECT_STREQ(ODMRTP_CLASS::getErrorMessage(-6), "Server Timeout");
  EXPECT_STREQ(ODMRTP_CLASS::getErrorMessage(-7), "Unknown");
  EXPECT_STREQ(ODMRTP_CLASS::getErrorMessage(INT_MIN), "Unknown");
  EXPECT_STREQ(ODMRTP_CLASS::getErrorMessage(INT_MAX), "Unknown");
}

// Holds every free descriptor below a lowered limit, so no socket can be opened.
class DescriptorsExhausted {
 public:
  DescriptorsExhausted() {
    getrlimit(RLIMIT_NOFILE, &saved);
    struct rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 512);
    setrlimit(RLIMIT_NOFILE, &lowered);
    int spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (spare >= 0) held.push_back(spare);
    for (int i = 0; spare >= 0 && i < 512; ++i) {
      int fd = dup(spare);
      if (fd < 0) break;
      held.push_back(fd);
    }
  }
  ~DescriptorsExhausted() {
    for (int fd : held) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
  }

 private:
  struct rlimit saved;
  std::vector<int> held;
};

TEST(RewindClient, WithoutAContextEveryOperationFailsCleanly) {
  std::unique_ptr<ODMRTP_CLASS> client;
  {
    DescriptorsExhausted exhausted;
    client.reset(new ODMRTP_CLASS(kUserID, ZELK_NAME "_" ZELK_VERSION));
  }
  ASSERT_FALSE(client->hasContext());
  EXPECT_EQ(client->ConnectRewindClient("127.0.0.1", "54006", kPassword, 91), REWIND_ERROR_SOCKET);
  uint8_t buffer[64];
  EXPECT_EQ(client->ReceiveRewindData(reinterpret_cast<RewindData*>(buffer), sizeof(buffer)), REWIND_ERROR_SOCKET);
  EXPECT_EQ(client->TransmitRewindData(REWIND_TYPE_KEEP_ALIVE, 0, nullptr, 0), -1);
  EXPECT_FALSE(client->waitForData(0, 1000));
  EXPECT_FALSE(client->isReadDataReady());
  uint8_t burst[27] = {};
  client->TransmitRewindKeepAlive();
  client->beginTransmission(1, 2, 0);
  client->transmitAudio(burst);
  client->endTransmission();
  client->shutdownServer();

  // Once sockets can be had again, a reset brings the client back.
  EXPECT_EQ(client->resetRewindContext(kUserID, ZELK_NAME "_" ZELK_VERSION, "server.invalid", "54006", kPassword, 91),
            REWIND_ERROR_DNS_RESOLVE);
  EXPECT_TRUE(client->hasContext());
}

TEST(RewindClient, FailedResetKeepsTheCurrentContext) {
  ODMRTP_CLASS client(kUserID, ZELK_NAME "_" ZELK_VERSION);
  ASSERT_TRUE(client.hasContext());
  int result;
  {
    DescriptorsExhausted exhausted;
    result = client.resetRewindContext(kUserID, ZELK_NAME "_" ZELK_VERSION, "server.invalid", "54006", kPassword, 91);
  }
  EXPECT_EQ(result, REWIND_ERROR_SOCKET);
  EXPECT_TRUE(client.hasContext());
}

}  // namespace
