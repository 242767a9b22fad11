// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge end to end: the real zelk binary between our Rewind server simulator
// and a test partner, all on loopback.
#include <gtest/gtest.h>
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/big_endian.h"
#include "common/mosquitto_broker.h"
#include "common/mqtt_probe.h"
#include "common/process.h"
#include "common/rewind_test_support.h"
#include "local/tlv_class.h"
#include "network/rewind_data.h"
#include "tools/partner/partner_link.h"
#include "tools/rewind_sim/rewind_simulator.h"

namespace {

using testing_support::binaryPath;
using testing_support::ChildProcess;
using testing_support::countOccurrences;
using testing_support::freeUdpPort;
using testing_support::MosquittoBroker;
using testing_support::MqttMessage;
using testing_support::MqttProbe;
using testing_support::TempDir;

constexpr uint32_t kUserID = 3106001;
constexpr int kWaitMs = 15000;
const std::string kSuccessEvent = "{\"topic\":\"trelvane/ZELK/DMR\",\"message\":\"login success\"}";
const std::string kFailureEvent = "{\"topic\":\"trelvane/ZELK/DMR\",\"message\":\"login failure\"}";

// The scheduling policy of each thread of a process (field 41 of its stat line).
std::vector<int> threadPolicies(pid_t pid) {
  std::vector<int> policies;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return policies;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream stat(tasks + "/" + entry->d_name + "/stat");
    std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(line.substr(line.rfind(')') + 2));  // the name may hold blanks
    std::string field;
    for (int i = 3; i <= 41 && fields >> field; ++i) {
      if (i == 41) policies.push_back(std::stoi(field));
    }
  }
  closedir(dir);
  return policies;
}

// Whether a thread of this process may take the voice threads' priority.
bool realtimeAllowed() {
  bool allowed = false;
  std::thread probe([&] {
    struct sched_param priority {};
    priority.sched_priority = 10;
    allowed = pthread_setschedparam(pthread_self(), SCHED_RR, &priority) == 0;
  });
  probe.join();
  return allowed;
}

std::string eventText(const Datagram& d) {
  if (d.size() < 3 || d[0] != TAG_EVENT) return "";
  return std::string(d.begin() + 2, d.end() - 1);
}

size_t countEvents(const std::vector<Datagram>& list, const std::string& text) {
  size_t n = 0;
  for (const Datagram& d : list) n += eventText(d) == text ? 1 : 0;
  return n;
}

// Puts the text of the talker alias blocks (header and blocks 1 to 3) together.
std::string aliasText(const std::vector<SimPacket>& blocks) {
  std::string text(27, '\0');
  size_t length = 0;
  for (const SimPacket& p : blocks) {
    if (p.payload.size() < 9) continue;
    int index = p.payload[0] - 4;
    if (index == 0) {
      length = (p.payload[2] >> 1) & 0x1F;
      for (int i = 0; i < 6; ++i) text[i] = static_cast<char>(p.payload[3 + i]);
    } else if (index >= 1 && index <= 3) {
      for (int i = 0; i < 7; ++i) text[6 + (index - 1) * 7 + i] = static_cast<char>(p.payload[2 + i]);
    }
  }
  return text.substr(0, length);
}

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.setPassword("s3cret");
    ASSERT_TRUE(sim.start("127.0.0.1", 0)) << sim.error();
    rxPort = freeUdpPort();
    ASSERT_TRUE(partner.open(0, "127.0.0.1", rxPort));
  }

  void startDaemon(const std::string& extra = "", const std::string& host = "127.0.0.1") {
    dir.write("zelk.ini", "[ZELK]\nBMAddress = " + host + "\nBMPort = " + std::to_string(sim.port()) +
                              "\nBMPassword = s3cret\nAddress = 127.0.0.1\nTXPort = " +
                              std::to_string(partner.port()) + "\nRXPort = " + std::to_string(rxPort) +
                              "\nUserID = " + std::to_string(kUserID) + "\nStartTG = 91\nLogLevel = 2\n" + extra);
    std::vector<std::string> env{"ZELK_LOG=" + dir.path()};
    if (drivenClock) for (const std::string& entry : daemonClock.env()) env.push_back(entry);
    zelk = std::make_unique<ChildProcess>(std::vector<std::string>{binaryPath("zelk"), "zelk.ini"}, dir.path(), env);
  }

  // With drivenClock set before startDaemon: moves the daemon's clock on and makes
  // it look at it at once (a stranger's datagram ends its wait on the socket that
  // `server` sees).
  void advanceClock(int64_t milliseconds, const RewindSimulator& server) {
    daemonClock.advance(milliseconds);
    struct sockaddr_storage client;
    socklen_t length = 0;
    if (server.clientEndpoint(&client, &length)) testing_support::nudge(client, length);
  }

  void startAndLogIn(const std::string& extra = "", const std::string& host = "127.0.0.1") {
    startDaemon(extra, host);
    ASSERT_TRUE(partner.waitUntil(
        [](const std::vector<Datagram>& l) { return countEvents(l, kSuccessEvent) >= 1; }, kWaitMs))
        << zelk->output();
    // The login subscribes talk group 9, then the start group follows.
    ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_SUBSCRIPTION, 2, kWaitMs));
  }

  // Sends a remote command and waits until the daemon has logged it (as `logged`
  // when that is given: a reconnect's password is masked).
  void command(const std::string& text, const std::string& logged = "") {
    partner.send(PartnerLink::remoteCommand(text));
    ASSERT_TRUE(zelk->waitForOutput("DMR, Remote CMD: " + (logged.empty() ? text : logged) + "\n", kWaitMs))
        << zelk->output();
  }

  // A talk-group command, and the subscription it leads to.
  void changeGroup(const std::string& text) {
    size_t before = sim.packetsOfType(REWIND_TYPE_SUBSCRIPTION).size() + sim.packetsOfType(REWIND_TYPE_CANCELLING).size();
    command(text);
    for (int i = 0; i < 100; ++i) {
      size_t now = sim.packetsOfType(REWIND_TYPE_SUBSCRIPTION).size() + sim.packetsOfType(REWIND_TYPE_CANCELLING).size();
      if (now >= before + 2) return;
      usleep(50 * 1000);
    }
    FAIL() << "no subscription after " << text;
  }

  uint32_t lastSubscribedGroup() {
    auto subs = sim.packetsOfType(REWIND_TYPE_SUBSCRIPTION);
    if (subs.empty() || subs.back().payload.size() < 8) return 0;
    const uint8_t* p = subs.back().payload.data();
    return readLE32(p + 4);
  }

  // Sends a call from the partner and waits until its terminator reached the server.
  void localCall(int voices, const std::string& metadata = "", uint32_t destination = 91,
                 RewindSimulator* server = nullptr) {
    if (server == nullptr) server = &sim;
    size_t terminators = server->packetsOfType(REWIND_TYPE_DMR_DATA_BASE + 2).size();
    partner.sendCall(2345678, destination, voices, 0, metadata);
    ASSERT_TRUE(server->waitForPacket(REWIND_TYPE_DMR_DATA_BASE + 2, terminators + 1, kWaitMs));
  }

  TempDir dir;
  RewindSimulator sim;
  PartnerLink partner;
  int rxPort = 0;
  std::unique_ptr<ChildProcess> zelk;
  bool drivenClock = false;
  testing_support::DrivenClock daemonClock;
};

TEST_F(Bridge, LogsInSubscribesTheStartGroupAndTellsThePartner) {
  startAndLogIn();
  EXPECT_EQ(lastSubscribedGroup(), 91u);
  auto events = partner.received();
  ASSERT_FALSE(events.empty());
  const Datagram& event = events.front();
  ASSERT_EQ(event.size(), 58u);
  EXPECT_EQ(event[0], TAG_EVENT);
  EXPECT_EQ(event[1], 56);
  EXPECT_EQ(eventText(event), kSuccessEvent);
  EXPECT_EQ(event.back(), 0);
  EXPECT_TRUE(zelk->waitForOutput("Successful connection to BM server at ip address: 127.0.0.1\n", kWaitMs));

  // Where the system allows it, the network, receiver and dispatcher threads run
  // round-robin real-time; the signal thread (and a sanitizer's own) stays at
  // normal priority.
  if (realtimeAllowed()) {
    std::vector<int> policies = threadPolicies(zelk->pid());
    EXPECT_EQ(std::count(policies.begin(), policies.end(), SCHED_RR), 3) << policies.size() << " threads";
    EXPECT_GE(std::count(policies.begin(), policies.end(), SCHED_OTHER), 1);
  }
}

TEST_F(Bridge, ThreeFailedLoginsEndTheDaemonWithStatusOne) {
  // With fallback servers, only once three logins failed on each of them.
  for (int servers : {1, 3}) {
    partner.clear();
    startDaemon(servers == 1 ? "" : "BMFallback = b.invalid, c.invalid:7\n",
                "no-such-server.invalid");
    EXPECT_EQ(zelk->waitExit(30000), 1);
    std::string out = zelk->output();
    EXPECT_EQ(countOccurrences(out, "Error logging into BM server.  Error code: -4 (DNS Resolve)\n"), 3 * servers);
    EXPECT_EQ(countOccurrences(out, "F: "), 1);
    EXPECT_NE(out.find("Fatal error, can not log into server.  Retry count exceeded.\n"), std::string::npos);
    EXPECT_TRUE(partner.waitUntil(
        [&](const std::vector<Datagram>& l) { return countEvents(l, kFailureEvent) == 3u * servers; }, kWaitMs));
    if (servers > 1) {
      EXPECT_EQ(countOccurrences(out, "Connecting to ZELK server at address: c.invalid:7\n"), 3) << out;
      EXPECT_NE(out.find("Trying fallback server 1 of 2: b.invalid:" + std::to_string(sim.port())), std::string::npos);
    }
  }
}

TEST_F(Bridge, NetworkCallsReachThePartnerFrameForFrame) {
  startAndLogIn();
  partner.clear();

  SimCall group;
  group.source = 4660;
  group.destination = 91;
  group.headers = 3;
  group.bursts = 100;
  group.dmrPace = false;
  ASSERT_TRUE(sim.playCall(group));
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, kWaitMs));
  auto got = partner.received();
  ASSERT_EQ(got.size(), 102u);
  EXPECT_EQ(got.front(), (Datagram{0x00, 0x0C, 0x00, 0x12, 0x34, 0, 0, 0, 0, 0x00, 0x00, 0x5B, 0x01, 0x01}));
  for (int i = 0; i < 100; ++i) {
    uint8_t burst[27];
    RewindSimulator::burstPayload(i, burst);
    Datagram expected{TAG_AMBE_72, 28, 1};
    expected.insert(expected.end(), burst, burst + 27);
    ASSERT_EQ(got[1 + i], expected) << "voice message " << i;
  }
  EXPECT_EQ(got.back(), (Datagram{TAG_END_TX, 1, 1}));
  EXPECT_TRUE(zelk->waitForOutput("DMR, ODMR End Tx:DMR frame count was 103 frames\n", kWaitMs));
  EXPECT_TRUE(zelk->waitForOutput("DMR, ODMR Begin Tx: src = 4660, dst = 91 (GROUP)\n", kWaitMs));

  // A private call, and a call whose headers were lost.
  partner.clear();
  SimCall privateCall = group;
  privateCall.privateCall = true;
  privateCall.destination = kUserID;
  privateCall.bursts = 5;
  privateCall.headers = 1;
  SimCall headless = group;
  headless.headers = 0;
  headless.bursts = 7;
  ASSERT_TRUE(sim.playCall(privateCall));
  ASSERT_TRUE(sim.playCall(headless));
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 2, kWaitMs));
  got = partner.received();
  ASSERT_EQ(got.size(), 1u + 5 + 1 + 7 + 1);
  EXPECT_EQ(got[0][0], TAG_BEGIN_TX);
  EXPECT_EQ(readBE24(&got[0][9]), kUserID);
  EXPECT_EQ(got[0][13], 0x81);
  EXPECT_EQ(PartnerLink::countTag(got, TAG_BEGIN_TX), 1u);
  EXPECT_EQ(PartnerLink::countTag(got, TAG_AMBE_72), 12u);
}

TEST_F(Bridge, LocalCallGoesOutWithHeadersBurstsAliasAndTerminator) {
  startAndLogIn("TalkerAlias = %callsign %name\n");
  sim.clearPackets();
  localCall(40, "{\"call\":\"AB1CDE\",\"name\":\"Ann\"}");

  std::vector<SimPacket> voice;
  for (const SimPacket& p : sim.packets()) {
    if (p.wellFormed && (p.flags & 1) != 0) voice.push_back(p);
  }
  ASSERT_EQ(voice.size(), 3u + 40 + 2 + 1);  // "AB1CDE Ann" needs two alias blocks
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(voice[i].type, REWIND_TYPE_DMR_DATA_BASE + 1);
    ASSERT_EQ(voice[i].payload.size(), 12u);
    EXPECT_EQ(voice[i].payload[0], 0);
    EXPECT_EQ(readBE24(&voice[i].payload[3]), 91u);
    EXPECT_EQ(readBE24(&voice[i].payload[6]), kUserID);
  }
  for (size_t i = 0; i < voice.size(); ++i) EXPECT_EQ(voice[i].sequence, voice[0].sequence + i);
  // Bursts in order, the alias right after the 32nd, then the rest and the terminator.
  uint32_t next = 0;
  for (size_t i = 3; i < voice.size() - 1; ++i) {
    bool aliasSlot = i == 3 + 32 || i == 3 + 33;
    EXPECT_EQ(voice[i].type, aliasSlot ? REWIND_TYPE_DMR_EMBEDDED_DATA : REWIND_TYPE_DMR_VOICE_FRAME) << i;
    if (aliasSlot) continue;
    ASSERT_EQ(voice[i].payload.size(), 27u);
    EXPECT_EQ(readBE24(&voice[i].payload[0]) << 8 | voice[i].payload[3], next++);
  }
  EXPECT_EQ(voice.back().type, REWIND_TYPE_DMR_DATA_BASE + 2);
  EXPECT_EQ(aliasText(sim.packetsOfType(REWIND_TYPE_DMR_EMBEDDED_DATA)), "AB1CDE Ann");

  // Plain metadata fills only the callsign.
  sim.clearPackets();
  localCall(32, "N0CALL");
  EXPECT_EQ(aliasText(sim.packetsOfType(REWIND_TYPE_DMR_EMBEDDED_DATA)), "N0CALL %name");
  EXPECT_TRUE(zelk->waitForOutput("DMR, TX state = OFF, DMR frame count was 32 frames\n", kWaitMs));
}

TEST_F(Bridge, RemoteCommandsChangeGroupCallTypeAndAlias) {
  startAndLogIn();
  changeGroup("txTg=3100#");
  EXPECT_EQ(lastSubscribedGroup(), 3100u);
  command("setTA=HELLO");
  sim.clearPackets();
  localCall(33, "", 3100);
  auto headers = sim.packetsOfType(REWIND_TYPE_DMR_DATA_BASE + 1);
  ASSERT_EQ(headers.size(), 3u);
  EXPECT_EQ(headers[0].payload[0], 3);  // private call
  EXPECT_EQ(aliasText(sim.packetsOfType(REWIND_TYPE_DMR_EMBEDDED_DATA)), "HELLO");

  changeGroup("txTg=91");
  sim.clearPackets();
  localCall(1);
  EXPECT_EQ(sim.packetsOfType(REWIND_TYPE_DMR_DATA_BASE + 1).at(0).payload[0], 0);  // group again
  changeGroup("txTg=disconnect");
  EXPECT_EQ(lastSubscribedGroup(), 4000u);
  changeGroup("txTg=99999999999");  // beyond int: its largest value, never undefined
  EXPECT_EQ(lastSubscribedGroup(), 2147483647u);
}

TEST_F(Bridge, ReconnectCommandMovesToAnotherServer) {
  startAndLogIn("StaticTGs = 262\n");
  RewindSimulator second;
  second.setPassword("other");
  ASSERT_TRUE(second.start("127.0.0.1", 0));
  partner.clear();
  command("txTg=other@127.0.0.1:" + std::to_string(second.port()) + "!2",
          "txTg=********@127.0.0.1:" + std::to_string(second.port()) + "!2");
  ASSERT_TRUE(zelk->waitForOutput("Server login success\n", kWaitMs)) << zelk->output();
  EXPECT_TRUE(second.loggedIn());
  EXPECT_EQ(second.subscribedTalkGroup(), 2u);
  EXPECT_TRUE(second.waitForSubscriptions({2, 262}, kWaitMs));
  EXPECT_TRUE(partner.waitUntil(
      [](const std::vector<Datagram>& l) { return countEvents(l, kSuccessEvent) == 1; }, kWaitMs));

  // Calls now go to the second server, and its calls reach the partner.
  localCall(3, "", 91, &second);
  SimCall call;
  call.bursts = 4;
  call.dmrPace = false;
  ASSERT_TRUE(second.playCall(call));
  EXPECT_TRUE(partner.waitForCount(TAG_END_TX, 1, kWaitMs));

  // A wrong password fails and says so.
  command("txTg=wrong@127.0.0.1:" + std::to_string(second.port()),
          "txTg=********@127.0.0.1:" + std::to_string(second.port()));
  EXPECT_TRUE(zelk->waitForOutput("Error logging into BM server\n", kWaitMs));
  EXPECT_TRUE(partner.waitUntil(
      [](const std::vector<Datagram>& l) { return countEvents(l, kFailureEvent) == 1; }, kWaitMs));
}

TEST_F(Bridge, PasswordsReachNeitherOutputNorLogFileNorBroker) {
  MosquittoBroker mosquitto;
  ASSERT_TRUE(mosquitto.started()) << mosquitto.log();
  MqttProbe probe;
  ASSERT_TRUE(probe.connect(mosquitto.port(), "probe"));
  ASSERT_TRUE(probe.subscribe("trelvane/#"));
  startAndLogIn("BrokerAddress = 127.0.0.1\nBrokerPort = " + std::to_string(mosquitto.port()) + "\n");
  RewindSimulator second;
  second.setPassword("n3wpass");
  ASSERT_TRUE(second.start("127.0.0.1", 0));
  const std::string target = "@127.0.0.1:" + std::to_string(second.port()) + "!2";
  command("txTg=n3wpass" + target, "txTg=********" + target);
  ASSERT_TRUE(zelk->waitForOutput("Server login success\n", kWaitMs)) << zelk->output();

  std::string published;  // every publication, once the reconnect's lines are among them
  for (int i = 0; i < 100 && published.find("Server login success\n") == std::string::npos; ++i) {
    published.clear();
    for (const MqttMessage& m : probe.waitForMessages(1000000, 100)) published += m.payload;
  }
  EXPECT_NE(published.find("DMR, Remote CMD: txTg=********" + target + "\n"), std::string::npos) << published;
  zelk->sendSignal(SIGTERM);
  EXPECT_EQ(zelk->waitExit(kWaitMs), 0);
  std::string out = zelk->output();
  std::string file = testing_support::readFile(dir.file("ZELK.log"));
  EXPECT_NE(out.find("DMR, Setting [ZELK] BMPassword -> ********\n"), std::string::npos) << out;
  EXPECT_NE(file.find("DMR, Setting [ZELK] BMPassword -> ********\n"), std::string::npos) << file;
  for (const std::string* text : {&out, &file, &published}) {
    EXPECT_EQ(text->find("s3cret"), std::string::npos) << *text;
    EXPECT_EQ(text->find("n3wpass"), std::string::npos) << *text;
  }
}

TEST_F(Bridge, EveryPeerOverIpv6LoopbackCarriesCallsBothWays) {
  if (!testing_support::hasIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 on loopback";
  sim.stop();
  ASSERT_TRUE(sim.start("::1", 0)) << sim.error();
  ASSERT_TRUE(partner.open(0, "::1", rxPort));
  MosquittoBroker mosquitto{MosquittoBroker::AlsoOnIpv6()};
  ASSERT_TRUE(mosquitto.started()) << mosquitto.log();
  MqttProbe probe;  // on the broker's IPv4 listener
  ASSERT_TRUE(probe.connect(mosquitto.port(), "probe"));
  ASSERT_TRUE(probe.subscribe("trelvane/#"));
  const std::string broker = std::to_string(mosquitto.port());
  startAndLogIn("Address = ::1\nBrokerAddress = ::1\nBrokerPort = " + broker + "\n", "::1");
  EXPECT_NE(zelk->output().find("Connecting to ZELK server at address: [::1]:" + std::to_string(sim.port()) + "\n"),
            std::string::npos);
  EXPECT_NE(zelk->output().find("Connected to MQTT Server at [::1]:" + broker + "\n"), std::string::npos);
  localCall(10);
  SimCall call;
  call.source = 4660;
  call.destination = 91;
  call.bursts = 10;
  call.dmrPace = false;
  ASSERT_TRUE(sim.playCall(call));
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, kWaitMs));
  EXPECT_EQ(PartnerLink::countTag(partner.received(), TAG_AMBE_72), 10u);
  EXPECT_FALSE(probe.waitForMessages(1, kWaitMs).empty());
}

// A second bridge given a port the first holds: one line naming the key, no
// start; the first goes on as before.
TEST_F(Bridge, SecondBridgeOnTheSamePartnerPortStopsWithOneLineAndTheFirstCarriesOn) {
  startAndLogIn();
  ChildProcess second({binaryPath("zelk"), "zelk.ini"}, dir.path(), {"ZELK_LOG=" + dir.path()});
  EXPECT_EQ(second.waitExit(kWaitMs), 1);
  const std::string line = "DMR, RXPort = " + std::to_string(rxPort) + ": can not bind the port, error code = " +
                           std::to_string(EADDRINUSE) + " (" + strerror(EADDRINUSE) + ").  Fatal error exiting\n";
  EXPECT_EQ(countOccurrences(second.output(), "E: "), 1) << second.output();
  EXPECT_NE(second.output().find(line), std::string::npos) << second.output();
  localCall(5);
  EXPECT_TRUE(zelk->running());
}

int openDescriptors(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

TEST_F(Bridge, HundredReconnectsLeakNoDescriptor) {
  startAndLogIn();
  RewindSimulator second;
  second.setPassword("s3cret");
  ASSERT_TRUE(second.start("127.0.0.1", 0));
  int before = openDescriptors(zelk->pid());
  for (int i = 1; i <= 100; ++i) {
    int port = i % 2 == 1 ? second.port() : sim.port();
    partner.send(PartnerLink::remoteCommand("txTg=s3cret@127.0.0.1:" + std::to_string(port) + "!91"));
    bool done = false;
    for (int wait = 0; wait < 1000 && !done; ++wait) {
      done = countOccurrences(zelk->output(), "Server login success\n") >= i;
      if (!done) usleep(10 * 1000);
    }
    ASSERT_TRUE(done) << "reconnect " << i;
  }
  EXPECT_EQ(openDescriptors(zelk->pid()), before);
}

TEST_F(Bridge, TerminateCancelsAndClosesThenExitsWithStatusZero) {
  startAndLogIn();
  // A local call goes on through the signal: nothing of it may follow the close.
  std::thread call([&] { partner.sendCall(2345678, 91, 150, 20); });
  sim.waitForPacket(REWIND_TYPE_DMR_VOICE_FRAME, 20, kWaitMs);
  zelk->sendSignal(SIGTERM);
  EXPECT_TRUE(sim.waitForPacket(REWIND_TYPE_CLOSE, 1, kWaitMs));
  call.join();
  auto packets = sim.packets();
  ASSERT_GE(packets.size(), 2u);
  EXPECT_EQ(packets[packets.size() - 2].type, REWIND_TYPE_CANCELLING);
  EXPECT_EQ(packets.back().type, REWIND_TYPE_CLOSE);
  EXPECT_EQ(zelk->waitExit(kWaitMs), 0);
  EXPECT_NE(zelk->output().find("Signal 15 received, exiting ZELK\n"), std::string::npos);
  EXPECT_NE(zelk->output().find("exitApp\n"), std::string::npos);
}

TEST_F(Bridge, LostServerIsLoggedInAgainWithTheLastChosenGroup) {
  drivenClock = true;
  // The static groups follow the current one after every login and change, each once.
  startAndLogIn("StaticTGs = 2, 91,262,2\n");
  EXPECT_TRUE(sim.waitForSubscriptions({2, 91, 262}, kWaitMs));
  changeGroup("txTg=disconnect");
  EXPECT_TRUE(sim.waitForSubscriptions({2, 91, 262, 4000}, kWaitMs));
  changeGroup("txTg=5");
  EXPECT_TRUE(sim.waitForSubscriptions({2, 5, 91, 262}, kWaitMs));
  sim.setSilent(true);
  advanceClock(31000, sim);
  ASSERT_TRUE(zelk->waitForOutput("Have not seen a ping reply in", 45000)) << zelk->output();
  sim.clearPackets();
  sim.setSilent(false);
  ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_SUBSCRIPTION, 5, kWaitMs));
  EXPECT_TRUE(sim.waitForSubscriptions({2, 5, 91, 262}, kWaitMs));
  std::vector<uint32_t> groups;
  for (const SimPacket& p : sim.packetsOfType(REWIND_TYPE_SUBSCRIPTION)) groups.push_back(readLE32(&p.payload[4]));
  EXPECT_EQ(groups, (std::vector<uint32_t>{9, 5, 2, 91, 262})) << "the login's 9, then the chosen group first";
}

TEST_F(Bridge, FallbackServerServesWhileTheHomeServerIsSilentThenHomeAgain) {
  RewindSimulator fallback;
  fallback.setPassword("s3cret");
  ASSERT_TRUE(fallback.start("127.0.0.1", 0));
  const std::string home = "127.0.0.1:" + std::to_string(sim.port());
  const std::string spare = "127.0.0.1:" + std::to_string(fallback.port());
  sim.setSilent(true);
  drivenClock = true;
  startDaemon("BMFallback = " + spare + "\n");
  // Each attempt on the silent home server runs out as soon as it has begun.
  for (int attempt = 1; attempt <= 3; ++attempt) {
    ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_KEEP_ALIVE, sim.packetsOfType(REWIND_TYPE_KEEP_ALIVE).size() + 1,
                                  kWaitMs));
    advanceClock(6000, sim);
    for (int i = 0; i < 300 && countOccurrences(zelk->output(), "Error logging into BM server.") < attempt; ++i) {
      usleep(50 * 1000);
    }
  }
  ASSERT_TRUE(fallback.waitForLogin(kWaitMs)) << zelk->output();
  ASSERT_TRUE(partner.waitUntil(
      [](const std::vector<Datagram>& l) { return countEvents(l, kSuccessEvent) == 1; }, kWaitMs));
  std::string out = zelk->output();
  EXPECT_EQ(countOccurrences(out, "Error logging into BM server.  Error code: -6 (Server Timeout)\n"), 3) << out;
  EXPECT_EQ(countEvents(partner.received(), kFailureEvent), 3u);
  EXPECT_NE(out.find("DMR, Trying fallback server 1 of 1: " + spare + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Connecting to ZELK server at address: " + spare + "\n"), std::string::npos);
  EXPECT_TRUE(fallback.waitForSubscriptions({91}, kWaitMs));
  localCall(2, "", 91, &fallback);

  // The fallback is lost: from the home server again, which answers by now.
  sim.setSilent(false);
  fallback.setSilent(true);
  advanceClock(31000, fallback);
  ASSERT_TRUE(zelk->waitForOutput("Have not seen a ping reply in", kWaitMs)) << zelk->output();
  ASSERT_TRUE(sim.waitForLogin(kWaitMs)) << zelk->output();
  EXPECT_TRUE(sim.waitForSubscriptions({91}, kWaitMs));
  EXPECT_TRUE(zelk->waitForOutput("DMR, Back to the home server " + home + "\n", kWaitMs));
  localCall(2);
  EXPECT_TRUE(zelk->running());
}

TEST_F(Bridge, OverlappingTrafficInBothDirectionsKeepsEveryFrame) {
  startAndLogIn();
  partner.clear();
  sim.clearPackets();
  SimCall call;
  call.bursts = 200;
  call.dmrPace = false;
  ASSERT_TRUE(sim.playCall(call));
  partner.sendCall(2345678, 91, 200, 0);
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, kWaitMs));
  ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_DMR_DATA_BASE + 2, 1, kWaitMs));
  EXPECT_EQ(PartnerLink::countTag(partner.received(), TAG_AMBE_72), 200u);
  auto bursts = sim.packetsOfType(REWIND_TYPE_DMR_VOICE_FRAME);
  ASSERT_EQ(bursts.size(), 200u);
  for (uint32_t i = 0; i < 200; ++i) EXPECT_EQ(readBE24(&bursts[i].payload[0]) << 8 | bursts[i].payload[3], i);

  // A reconnect while a paced network call and a local call are under way.
  RewindSimulator second;
  second.setPassword("s3cret");
  ASSERT_TRUE(second.start("127.0.0.1", 0));
  call.bursts = 20;
  call.dmrPace = true;
  ASSERT_TRUE(sim.playCall(call));
  partner.send(PartnerLink::remoteCommand("txTg=s3cret@127.0.0.1:" + std::to_string(second.port()) + "!91"));
  partner.sendCall(2345678, 91, 20, 5);
  ASSERT_TRUE(zelk->waitForOutput("Server login success\n", kWaitMs)) << zelk->output();
  ASSERT_TRUE(second.waitForPacket(REWIND_TYPE_DMR_DATA_BASE + 2, 1, kWaitMs));
  EXPECT_EQ(second.packetsOfType(REWIND_TYPE_DMR_VOICE_FRAME).size(), 20u);
  zelk->sendSignal(SIGTERM);
  EXPECT_EQ(zelk->waitExit(kWaitMs), 0);  // a sanitizer report would end it otherwise
}

TEST_F(Bridge, CallWithoutTerminatorEndsAtTheNextCallersHeaderOrAfterSilence) {
  startAndLogIn();
  partner.clear();
  SimCall first;
  first.source = 4660;
  first.destination = 91;
  first.bursts = 10;
  first.terminator = false;
  first.dmrPace = false;
  SimCall second = first;
  second.source = 4661;
  second.bursts = 5;
  ASSERT_TRUE(sim.playCall(first));
  ASSERT_TRUE(sim.playCall(second));
  ASSERT_TRUE(partner.waitForCount(TAG_AMBE_72, 15, kWaitMs));
  auto lastBurst = std::chrono::steady_clock::now();
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 2, kWaitMs)) << zelk->output();
  double quiet = std::chrono::duration<double>(std::chrono::steady_clock::now() - lastBurst).count();
  EXPECT_GE(quiet, 1.3);
  EXPECT_LE(quiet, 3.0);
  auto got = partner.received();
  ASSERT_EQ(got.size(), 1u + 10 + 1 + 1 + 5 + 1);
  EXPECT_EQ(got[0][0], TAG_BEGIN_TX);
  EXPECT_EQ(readBE24(&got[0][2]), 4660u);
  EXPECT_EQ(got[11], (Datagram{TAG_END_TX, 1, 1}));
  EXPECT_EQ(got[12][0], TAG_BEGIN_TX);
  EXPECT_EQ(readBE24(&got[12][2]), 4661u);
  EXPECT_EQ(got.back(), (Datagram{TAG_END_TX, 1, 1}));
  EXPECT_TRUE(zelk->waitForOutput("DMR, ODMR End Tx:DMR frame count was 13 frames\n", kWaitMs));
  EXPECT_TRUE(zelk->waitForOutput("DMR, ODMR Begin Tx: src = 4661, dst = 91 (GROUP)\n", kWaitMs));
  EXPECT_TRUE(zelk->waitForOutput("DMR, ODMR End Tx:DMR frame count was 8 frames\n", kWaitMs));
}

TEST_F(Bridge, ReconnectDuringTheFirstLoginAttemptCountsAsTheLogin) {
  sim.setSilent(true);
  RewindSimulator second;
  second.setPassword("other");
  ASSERT_TRUE(second.start("127.0.0.1", 0));
  drivenClock = true;
  startDaemon();
  ASSERT_TRUE(zelk->waitForOutput("Connecting to ZELK server at address", kWaitMs));
  partner.send(PartnerLink::remoteCommand("txTg=other@127.0.0.1:" + std::to_string(second.port()) + "!2"));
  // The first attempt's 5 s run out in real time: the one process test that waits
  // for the login's deadline.
  ASSERT_TRUE(zelk->waitForOutput("Server login success\n", kWaitMs)) << zelk->output();
  size_t atOldServer = sim.packetCount();
  size_t keepAlives = second.packetsOfType(REWIND_TYPE_KEEP_ALIVE).size();

  // 15 s of serving, a quiet period at a time; each begins once the daemon has
  // read the answer to the last keep-alive, which would otherwise start it anew.
  usleep(200 * 1000);
  for (int i = 0; i < 3; ++i) {
    int answers = countOccurrences(zelk->output(), "REWIND_TYPE_KEEP_ALIVE\n");
    advanceClock(5000, second);
    for (int w = 0; w < 100 && countOccurrences(zelk->output(), "REWIND_TYPE_KEEP_ALIVE\n") <= answers; ++w) {
      usleep(50 * 1000);
    }
  }
  EXPECT_TRUE(zelk->running());
  std::string out = zelk->output();
  EXPECT_EQ(countOccurrences(out, "Connecting to ZELK server at address"), 1) << out;
  EXPECT_EQ(out.find("Retry count exceeded"), std::string::npos);
  EXPECT_EQ(sim.packetCount(), atOldServer);
  EXPECT_TRUE(second.loggedIn());
  EXPECT_EQ(second.subscribedTalkGroup(), 2u);
  // The connection is served: keep-alives every 5 s, answered.
  EXPECT_GE(second.packetsOfType(REWIND_TYPE_KEEP_ALIVE).size(), keepAlives + 2);
  auto events = partner.received();
  EXPECT_EQ(countEvents(events, kFailureEvent), 1u);
  EXPECT_EQ(countEvents(events, kSuccessEvent), 1u);
  localCall(2, "", 91, &second);
}

TEST_F(Bridge, NineDigitHotspotIDLogsInWithItAndCallsCarryTheRadioID) {
  startAndLogIn("UserID = 310123401\n");
  EXPECT_TRUE(zelk->waitForOutput("DMR, calls go out with source ID 3101234 (UserID 310123401)\n", kWaitMs));
  RewindSimulator second;
  second.setPassword("s3cret");
  ASSERT_TRUE(second.start("127.0.0.1", 0));
  localCall(2);
  command("txTg=s3cret@127.0.0.1:" + std::to_string(second.port()) + "!91",
          "txTg=********@127.0.0.1:" + std::to_string(second.port()) + "!91");
  ASSERT_TRUE(zelk->waitForOutput("Server login success\n", kWaitMs)) << zelk->output();
  localCall(2, "", 91, &second);
  for (RewindSimulator* server : {&sim, &second}) {
    auto keepAlive = server->packetsOfType(REWIND_TYPE_KEEP_ALIVE).at(0);
    ASSERT_GE(keepAlive.payload.size(), 4u);
    EXPECT_EQ(readLE32(keepAlive.payload.data()), 310123401u);
    auto headers = server->packetsOfType(REWIND_TYPE_DMR_DATA_BASE + 1);
    ASSERT_EQ(headers.size(), 3u);
    for (const SimPacket& h : headers) EXPECT_EQ(readBE24(&h.payload[6]), 3101234u);
  }
}

}  // namespace
