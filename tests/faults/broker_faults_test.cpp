// SPDX-License-Identifier: GPL-2.0-or-later
// Faults of the MQTT broker, injected against the real binary while calls are
// carried: a broker that refuses the connection, that is killed, that resets the
// connection, that accepts and then stalls, that stops answering pings, and a
// flood of log lines while it is away. The voice traffic never depends on it,
// and the client comes back to it by itself. And the status the daemon leaves
// on the broker when it is killed.
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <set>
#include <sstream>
#include <thread>

#include "common/mosquitto_broker.h"
#include "common/mqtt_probe.h"
#include "common/raw_broker.h"
#include "faults/fault_fixture.h"

namespace faults {
namespace {

using testing_support::bytes;
using testing_support::ChildProcess;
using testing_support::freeTcpPort;
using testing_support::MosquittoBroker;
using testing_support::MqttProbe;
using testing_support::RawBroker;

using Clock = std::chrono::steady_clock;

long long secondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
}

std::string brokerSettings(int port) {
  return "BrokerAddress = 127.0.0.1\nBrokerPort = " + std::to_string(port) + "\nBrokerClient = zelk-faults\n";
}

// Waits until a publication on the daemon's topic holds the text.
bool probeSees(MqttProbe& probe, const std::string& text, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    const std::vector<testing_support::MqttMessage>& all = probe.waitForMessages(1 << 30, 100);
    for (const testing_support::MqttMessage& message : all) {
      if (message.topic == "trelvane/ZELK" && message.payload.find(text) != std::string::npos) return true;
    }
  } while (Clock::now() < deadline);
  return false;
}

// Reads one whole packet from the daemon and returns its first byte; 0 when none
// came within the time.
int nextPacketType(RawBroker& broker, int timeoutMs) {
  testing_support::Bytes first = broker.read(1, timeoutMs);
  if (first.empty()) return 0;
  size_t remaining = 0;
  for (int shift = 0; shift < 28; shift += 7) {
    testing_support::Bytes digit = broker.read(1, kWaitMs);
    if (digit.empty()) return 0;
    remaining |= static_cast<size_t>(digit[0] & 0x7F) << shift;
    if ((digit[0] & 0x80) == 0) break;
  }
  if (broker.read(remaining, kWaitMs).size() != remaining) return 0;
  return first[0];
}

// Takes the daemon's connection and answers it with CONNACK and, when asked, the
// SUBACK of its subscription.
void acceptClient(RawBroker& broker, bool answerSubscription) {
  ASSERT_TRUE(broker.accept(kWaitMs));
  ASSERT_EQ(broker.read(2 + 14 + 11, kWaitMs).size(), 27u);  // CONNECT with the client identifier
  ASSERT_TRUE(broker.send(RawBroker::connack(0)));
  if (!answerSubscription) return;
  ASSERT_EQ(broker.read(2 + 5 + 14, kWaitMs).size(), 21u);  // SUBSCRIBE to trelvane/debug
  ASSERT_TRUE(broker.send(bytes({0x90, 0x03, 0x00, 0x01, 0x00})));
}

TEST_F(Faults, RefusingBrokerGivesFailedToInitializeAndIsUsedOnceItStarts) {
  int port = freeTcpPort();
  startAndLogIn(brokerSettings(port));
  EXPECT_NE(zelk->output().find("MQTT broker failed to initialize\n"), std::string::npos) << zelk->output();
  localCallArrivesWhole(50);
  networkCallArrivesWhole(50);
  EXPECT_TRUE(zelk->running());

  // The broker starts only now: the client connects in the background and
  // publishes the lines of the next call.
  MosquittoBroker broker(port);
  ASSERT_TRUE(broker.started()) << broker.log();
  auto there = Clock::now();
  MqttProbe probe;
  ASSERT_TRUE(probe.connect(broker.port(), "faults-probe"));
  ASSERT_TRUE(probe.subscribe("trelvane/ZELK"));
  ASSERT_FALSE(probe.waitForMessages(1, kWaitMs).empty()) << zelk->output();
  long long firstMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - there).count();
  RecordProperty("broker_started_to_first_publication_ms", static_cast<int>(firstMs));
  printf("broker started after the daemon: first publication after %lld ms\n", firstMs);
  ASSERT_TRUE(zelk->waitForOutput("MQTT broker reconnected\n", kWaitMs)) << zelk->output();
  EXPECT_NE(zelk->output().find("Connected to MQTT Server at 127.0.0.1:" + std::to_string(port)), std::string::npos);
  localCallArrivesWhole(20, 100);
  EXPECT_TRUE(probeSees(probe, "DMR, Begin TX: src=2345678", kWaitMs)) << zelk->output();
}

TEST_F(Faults, BrokerKilledMidCallLeavesVoiceTrafficUntouchedAndIsUsedAgainOnceBack) {
  MosquittoBroker broker;
  ASSERT_TRUE(broker.started());
  MqttProbe probe;
  ASSERT_TRUE(probe.connect(broker.port(), "faults-probe"));
  ASSERT_TRUE(probe.subscribe("trelvane/ZELK"));
  driveClock();
  startAndLogIn(brokerSettings(broker.port()));
  // The log lines reach the broker before it goes.
  EXPECT_FALSE(probe.waitForMessages(1, kWaitMs).empty());

  sim.clearPackets();
  partner.clear();
  SimCall call;
  call.bursts = 80;  // paced: about five seconds
  ASSERT_TRUE(sim.playCall(call));
  std::thread local([this] { partner.sendCall(2345678, 91, 80, 40); });
  ASSERT_TRUE(partner.waitForCount(TAG_AMBE_72, 20, kWaitMs));
  broker.kill();
  local.join();
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, kWaitMs)) << zelk->output();
  ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_DMR_DATA_BASE + 2, 1, kWaitMs));
  EXPECT_EQ(burstNumbersAtPartner(partner.received()), countingFrom<int>(0, 80));
  EXPECT_EQ(burstNumbersAtServer(sim), countingFrom<uint32_t>(0, 80));

  // The client notices the lost broker within its keep-alive pass; the bridge goes on.
  letTimePass(7000);
  EXPECT_TRUE(zelk->running()) << zelk->output();
  localCallArrivesWhole(30, 100);
  networkCallArrivesWhole(30);

  // The same broker is back on the same port: within the pause of the moment
  // (at most the longest, 60 s) the client connects and publishes again.
  ASSERT_TRUE(broker.restart()) << broker.log();
  auto back = Clock::now();
  int64_t advancedBefore = daemonClock.advanced();
  MqttProbe again;
  ASSERT_TRUE(again.connect(broker.port(), "faults-probe"));
  ASSERT_TRUE(again.subscribe("trelvane/ZELK"));
  for (int step = 0; step < 7 && again.waitForMessages(1, 1500).empty(); ++step) letTimePass(10000);
  ASSERT_FALSE(again.waitForMessages(1, 1500).empty()) << zelk->output();
  long long firstMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - back).count() +
                      (daemonClock.advanced() - advancedBefore);
  RecordProperty("broker_back_to_first_publication_ms", static_cast<int>(firstMs));
  printf("broker back: first publication after %lld ms\n", firstMs);
  localCallArrivesWhole(20, 200);
  EXPECT_TRUE(probeSees(again, "DMR, Begin TX: src=2345678", kWaitMs)) << zelk->output();
  std::string log = testing_support::readFile(dir.file("ZELK.log"));
  size_t lost = log.find("MQTT broker connection lost, reconnecting in the background\n");
  ASSERT_NE(lost, std::string::npos) << log;
  EXPECT_NE(log.find("MQTT broker reconnected\n", lost), std::string::npos) << log;
}

TEST_F(Faults, BrokerResetWhileIdleKeepsDaemonRunningAndCalling) {
  RawBroker broker;
  startDaemon(brokerSettings(broker.port()));
  acceptClient(broker, true);
  ASSERT_TRUE(partner.waitUntil([](const std::vector<Datagram>& l) { return countEvents(l, kSuccessEvent) >= 1; },
                                kWaitMs))
      << zelk->output();
  localCallArrivesWhole(20);
  broker.resetConnection();
  localCallArrivesWhole(20, 100);
  networkCallArrivesWhole(20);
  // The keep-alive thread looks at the connection after 5 seconds, finds it gone
  // and the client gives it up; nothing else changes.
  EXPECT_TRUE(zelk->waitForOutput("\nSocket EOF\n", kWaitMs)) << zelk->output();
  EXPECT_TRUE(zelk->running());
  localCallArrivesWhole(20, 200);
  networkCallArrivesWhole(20);
  // A second later the client is back, as on its first connection.
  acceptClient(broker, true);
  EXPECT_TRUE(zelk->waitForOutput("MQTT broker reconnected\n", kWaitMs)) << zelk->output();
}

// The one broker test that waits out the answer time-outs and pauses in real time.
TEST_F(Faults, BrokerNeverAnsweringSubscribeOrConnackIsLeftAfterTenSecondsAndTriedAgain) {
  RawBroker broker;
  startDaemon(brokerSettings(broker.port()));
  acceptClient(broker, false);  // then never a byte more, and nothing read
  ASSERT_TRUE(partner.waitUntil([](const std::vector<Datagram>& l) { return countEvents(l, kSuccessEvent) >= 1; },
                                kWaitMs))
      << zelk->output();
  auto stalled = Clock::now();
  // Calls pass while the client waits for the answer: lines only queue behind it.
  localCallArrivesWhole(50);
  networkCallArrivesWhole(50);
  EXPECT_TRUE(zelk->running());
  // The SUBACK wait gives up after 10 s; the connection is closed and made again
  // a second later.
  ASSERT_TRUE(broker.waitForClose(20000)) << zelk->output();
  ASSERT_TRUE(broker.accept(5000)) << zelk->output();
  EXPECT_GE(secondsSince(stalled), 8);
  EXPECT_NE(zelk->output().find("\nSocket recv returned -1, errno 11"), std::string::npos) << zelk->output();
  EXPECT_NE(zelk->output().find("failed to subscribe\n"), std::string::npos);
  // This time no CONNACK: after 10 s more the attempt fails and the next one
  // comes 2 s later. The calls go on meanwhile.
  ASSERT_EQ(broker.read(27, kWaitMs).size(), 27u);
  localCallArrivesWhole(30, 100);
  networkCallArrivesWhole(30);
  ASSERT_TRUE(broker.waitForClose(20000)) << zelk->output();
  ASSERT_TRUE(broker.accept(5000)) << zelk->output();
  EXPECT_NE(zelk->errors().find("MQTT: failed to connect with error: 0\n"), std::string::npos) << zelk->errors();
  ASSERT_EQ(broker.read(27, kWaitMs).size(), 27u);
  EXPECT_TRUE(zelk->running());

  // SIGTERM while the client waits for that CONNACK: the usual prompt end.
  sim.clearPackets();
  zelk->sendSignal(SIGTERM);
  EXPECT_EQ(zelk->waitExit(6000), 0) << zelk->output();
  EXPECT_TRUE(sim.waitForPacket(REWIND_TYPE_CLOSE, 1, 1000));
}

// The broker takes the connection and the subscription, then stops answering:
// the first ping, 35 s after the start, goes unanswered.
TEST_F(Faults, BrokerThatStopsAnsweringPingsIsLeftAndConnectedAgainWhileCallsGoOn) {
  RawBroker broker;
  driveClock();
  auto started = Clock::now();
  startDaemon(brokerSettings(broker.port()));
  acceptClient(broker, true);
  ASSERT_TRUE(partner.waitUntil([](const std::vector<Datagram>& l) { return countEvents(l, kSuccessEvent) >= 1; },
                                kWaitMs))
      << zelk->output();
  // The lines published so far, then the PINGREQ, left unanswered.
  int type = 0;
  while (type != 0xC0 && daemonSecondsSince(started) < 60) {
    while (type != 0xC0 && (type = nextPacketType(broker, 1500)) != 0) {
    }
    if (type != 0xC0) letTimePass(10000);
  }
  ASSERT_EQ(type, 0xC0) << zelk->output();
  localCallArrivesWhole(30);
  networkCallArrivesWhole(30);
  // No PINGRESP within 10 s: the connection is closed and made again.
  letTimePass(10000);
  ASSERT_TRUE(broker.waitForClose(20000)) << zelk->output();
  acceptClient(broker, true);
  ASSERT_TRUE(zelk->waitForOutput("MQTT broker reconnected\n", kWaitMs)) << zelk->output();
  EXPECT_NE(zelk->output().find("did not get ping response\n"), std::string::npos);

  // 90 s after the start the daemon still runs and carries calls both ways.
  while (daemonSecondsSince(started) < 90) letTimePass(10000);
  EXPECT_TRUE(zelk->running()) << zelk->output();
  localCallArrivesWhole(30, 100);
  networkCallArrivesWhole(30);
  std::string log = testing_support::readFile(dir.file("ZELK.log"));
  EXPECT_NE(log.find("MQTT broker connection lost, reconnecting in the background\n"), std::string::npos) << log;
}

// 100,000 log lines (one warning per datagram too short for its tag) while no
// broker listens: the queue keeps the newest lines, and the count of the
// dropped ones is logged once the broker is there.
TEST_F(Faults, LineFloodWhileBrokerIsAwayKeepsMemoryBoundedAndCountsTheDropped) {
  constexpr int kLines = 100000;
  int port = freeTcpPort();
#if defined(__SANITIZE_ADDRESS__)
  // Freed lines would wait in the sanitizer's quarantine and count as resident:
  // the daemon gets a small one, so that the bound below still means something.
  const char* options = getenv("ASAN_OPTIONS");
  std::string saved = options != nullptr ? options : "";
  setenv("ASAN_OPTIONS", (saved + (saved.empty() ? "" : ":") + "quarantine_size_mb=1").c_str(), 1);
#endif
  startAndLogIn(brokerSettings(port) + "LogLevel = 4\n");
#if defined(__SANITIZE_ADDRESS__)
  if (options != nullptr) {
    setenv("ASAN_OPTIONS", saved.c_str(), 1);
  } else {
    unsetenv("ASAN_OPTIONS");
  }
#endif
  long before = residentKb(zelk->pid());
  ASSERT_GT(before, 0);

  const Datagram tooShort = {TAG_BEGIN_TX, 5, 1, 2, 3, 4, 5};
  partner.send(PartnerLink::beginTx(2345678, 91));
  sim.clearPackets();
  long warm = 0;  // after the first 10,000 lines: the queue is full, the threads' stacks and caches are in use
  for (uint32_t voice = 0; voice < kLines / 100; ++voice) {
    for (int i = 0; i < 100; ++i) partner.send(tooShort);
    partner.send(PartnerLink::voice(voice));
    // Each voice message waits behind the others: the socket never overflows.
    ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_DMR_VOICE_FRAME, voice + 1, kWaitMs)) << "voice " << voice;
    if (voice == 99) warm = residentKb(zelk->pid());
  }
  partner.send(PartnerLink::endTx());
  EXPECT_EQ(burstNumbersAtServer(sim), countingFrom<uint32_t>(0, kLines / 100));
  long after = residentKb(zelk->pid());
  RecordProperty("resident_kb_before", static_cast<int>(before));
  RecordProperty("resident_kb_after_10000_lines", static_cast<int>(warm));
  RecordProperty("resident_kb_after", static_cast<int>(after));
  printf("line flood: %d lines with the broker away, resident %ld kB before, %ld kB after 10000 lines, %ld kB after\n",
         kLines, before, warm, after);
  // The last 90,000 lines would take some 14 MB if they were all kept.
  EXPECT_LE(after, warm + 2048) << "resident size grew from " << warm << " kB to " << after << " kB";

  MosquittoBroker broker(port);
  ASSERT_TRUE(broker.started()) << broker.log();
  ASSERT_TRUE(zelk->waitForOutput("log lines dropped\n", 60000)) << zelk->errors();
  std::string out = zelk->output();
  size_t at = out.find("MQTT broker away or slow: ");
  ASSERT_NE(at, std::string::npos);
  long dropped = atol(out.c_str() + at + strlen("MQTT broker away or slow: "));
  RecordProperty("dropped_lines", static_cast<int>(dropped));
  printf("line flood: %ld lines dropped, reported once the broker was there\n", dropped);
  EXPECT_GE(dropped, kLines - 1000);
  EXPECT_LE(dropped, countOccurrences(out, "W: "));
  EXPECT_EQ(countOccurrences(out, "log lines dropped\n"), 1);
  EXPECT_TRUE(zelk->running());
}

// mosquitto_sub printing "topic payload" lines of the daemon's status topics.
std::unique_ptr<ChildProcess> statusSubscriber(int port, const std::vector<std::string>& options) {
  std::vector<std::string> argv = {"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-v"};
  argv.insert(argv.end(), options.begin(), options.end());
  return std::make_unique<ChildProcess>(argv);
}

// The payloads printed on the topic so far, parsed (null where not JSON).
std::vector<nlohmann::json> printed(const ChildProcess& subscriber, const std::string& topic) {
  std::vector<nlohmann::json> payloads;
  std::istringstream lines(subscriber.output());
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, topic.size() + 1, topic + " ") != 0) continue;
    payloads.push_back(nlohmann::json::parse(line.substr(topic.size() + 1), nullptr, false));
  }
  return payloads;
}

TEST_F(Faults, StatusOnTheBrokerShowsTheLinkAndEachCallAndOfflineOnceTheDaemonIsKilled) {
  MosquittoBroker broker;
  ASSERT_TRUE(broker.started()) << broker.log();
  auto live = statusSubscriber(broker.port(), {"-t", "trelvane/ZELK/call", "-t", "trelvane/ZELK/availability"});
  startAndLogIn(brokerSettings(broker.port()) + "BrokerStatus = 1\n");
  // Retained, so it reaches the subscriber whenever it came: from here on it hears the calls.
  ASSERT_TRUE(live->waitForOutput("trelvane/ZELK/availability online\n", kWaitMs)) << live->errors();

  sim.clearPackets();
  partner.sendCall(2345678, 91, 20, 20, "{\"call\":\"N0CALL\",\"name\":\"Al \\\"Q\\\" <b>\"}");
  ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_DMR_DATA_BASE + 2, 1, kWaitMs)) << zelk->output();
  // The local call's end goes out after its terminator; wait for it, or the
  // network call's start may come first.
  std::vector<nlohmann::json> calls;
  auto waitForCalls = [&](size_t count) {
    for (int i = 0; i < 150 && calls.size() < count; ++i) {
      usleep(100 * 1000);
      calls = printed(*live, "trelvane/ZELK/call");
    }
  };
  waitForCalls(2);
  ASSERT_EQ(calls.size(), 2u) << live->output();
  partner.clear();
  SimCall call;
  call.bursts = 10;  // paced: 600 ms
  call.privateCall = true;
  call.source = 2600001;
  call.destination = kUserID;
  ASSERT_TRUE(sim.playCall(call));
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, kWaitMs)) << zelk->output();

  waitForCalls(4);
  ASSERT_EQ(calls.size(), 4u) << live->output();
  const char* events[] = {"start", "end", "start", "end"};
  for (size_t i = 0; i < calls.size(); ++i) {
    const nlohmann::json& c = calls[i];
    ASSERT_TRUE(c.is_object()) << live->output();
    EXPECT_EQ(c.value("event", ""), events[i]);
    EXPECT_EQ(c.value("direction", ""), i < 2 ? "to the network" : "from the network");
    EXPECT_EQ(c.value("source", 0u), i < 2 ? 2345678u : 2600001u);
    EXPECT_EQ(c.value("destination", 0u), i < 2 ? 91u : kUserID);
    EXPECT_EQ(c.value("private", true), i >= 2);
    EXPECT_EQ(c.contains("duration_ms"), i % 2 == 1) << c;
    EXPECT_EQ(c.value("duration_ms", 0) > 0, i % 2 == 1) << c;
  }
  EXPECT_EQ(calls[1].value("callsign", ""), "N0CALL");
  EXPECT_EQ(calls[1].value("name", ""), "Al \"Q\" <b>");

  // A subscriber that comes later gets the retained state: logged in, the group,
  // the last call each way.
  auto later = statusSubscriber(broker.port(), {"-C", "1", "-W", "10", "-t", "trelvane/ZELK/status"});
  ASSERT_EQ(later->waitExit(kWaitMs), 0) << later->errors();
  std::vector<nlohmann::json> states = printed(*later, "trelvane/ZELK/status");
  ASSERT_EQ(states.size(), 1u) << later->output();
  const nlohmann::json& state = states[0];
  EXPECT_EQ(state["link"].value("state", ""), "logged in") << state;
  EXPECT_EQ(state["link"].value("port", ""), std::to_string(sim.port()));
  EXPECT_EQ(state.value("talk_group", 0), 91);
  EXPECT_EQ(state["last_call"]["to_network"].value("callsign", ""), "N0CALL") << state;
  EXPECT_EQ(state["last_call"]["from_network"].value("source", 0u), 2600001u) << state;
  EXPECT_EQ(state["last_call"]["from_network"].value("on_air", true), false);
  EXPECT_FALSE(state.contains("counters")) << "only discovery asks for the counters";

  // Killed, the daemon cannot say goodbye: the broker publishes its Will, and keeps it.
  zelk->sendSignal(SIGKILL);
  EXPECT_EQ(zelk->waitExit(kWaitMs), 128 + SIGKILL);
  EXPECT_TRUE(live->waitForOutput("trelvane/ZELK/availability offline\n", kWaitMs)) << live->output();
  auto after = statusSubscriber(broker.port(), {"-C", "1", "-W", "10", "-t", "trelvane/ZELK/availability"});
  ASSERT_EQ(after->waitExit(kWaitMs), 0);
  EXPECT_EQ(after->output(), "trelvane/ZELK/availability offline\n");
}

// Whether the template's every value_json.a.b path is there in the status.
bool pathsExist(const std::string& tmpl, const nlohmann::json& status) {
  const std::string lead = "value_json.";
  for (size_t at = tmpl.find(lead); at != std::string::npos; at = tmpl.find(lead, at + 1)) {
    const nlohmann::json* node = &status;
    size_t end = tmpl.find_first_not_of("abcdefghijklmnopqrstuvwxyz_.", at + lead.size());
    std::istringstream path(tmpl.substr(at + lead.size(), end - at - lead.size()));
    for (std::string key; std::getline(path, key, '.');) {
      if (!node->is_object() || !node->contains(key)) return false;
      node = &(*node)[key];
    }
  }
  return true;
}

TEST_F(Faults, DiscoveryConfigsAreRetainedAndReadOnlyTopicsTheDaemonPublishes) {
  MosquittoBroker broker;
  ASSERT_TRUE(broker.started()) << broker.log();
  const int page = freeTcpPort();
  daemonEnv.push_back("ZELK_INSTANCE=ts2");  // as the template unit names an instance
  startAndLogIn("BrokerAddress = 127.0.0.1\nBrokerPort = " + std::to_string(broker.port()) +
                "\nBrokerStatus = 1\nBrokerDiscovery = homeassistant\nStatusPort = " + std::to_string(page) + "\n");
  auto configs = statusSubscriber(broker.port(), {"-C", "7", "-W", "10", "-t", "homeassistant/#"});
  auto states = statusSubscriber(broker.port(), {"-C", "2", "-W", "10", "-t", "trelvane/ZELK/#"});
  ASSERT_EQ(configs->waitExit(kWaitMs), 0) << configs->output() << configs->errors();
  ASSERT_EQ(states->waitExit(kWaitMs), 0) << states->output() << states->errors();
  const std::vector<nlohmann::json> status = printed(*states, "trelvane/ZELK/status");
  ASSERT_EQ(status.size(), 1u) << states->output();
  EXPECT_EQ(status[0]["counters"].value("calls_to_network", -1), 0) << status[0];
  ASSERT_EQ(printed(*states, "trelvane/ZELK/availability").size(), 1u) << states->output();

  const std::string node = "zelk_" + std::to_string(kUserID) + "_ts2";
  std::set<std::string> objects;
  std::istringstream lines(configs->output());
  for (std::string line; std::getline(lines, line);) {
    const std::string topic = line.substr(0, line.find(' '));
    const nlohmann::json c = nlohmann::json::parse(line.substr(topic.size() + 1), nullptr, false);
    ASSERT_TRUE(c.is_object()) << line;
    const std::string object = c.value("unique_id", "").substr(node.size() + 1);
    objects.insert(object);
    const char* component = object == "link" ? "binary_sensor" : "sensor";
    EXPECT_EQ(topic, std::string("homeassistant/") + component + "/" + node + "/" + object + "/config");
    EXPECT_EQ(c.value("state_topic", ""), "trelvane/ZELK/status") << line;
    EXPECT_EQ(c.value("availability_topic", ""), "trelvane/ZELK/availability") << line;
    EXPECT_EQ(c.value("payload_available", ""), "online");
    EXPECT_EQ(c.value("payload_not_available", ""), "offline");
    EXPECT_FALSE(c.value("name", "").empty()) << line;
    EXPECT_TRUE(pathsExist(c.value("value_template", ""), status[0])) << line;
    const nlohmann::json& device = c["device"];
    EXPECT_EQ(device["identifiers"], nlohmann::json::array({node}));
    EXPECT_EQ(device.value("name", ""), "ZELK ts2");
    EXPECT_FALSE(device.value("model", "").empty() || device.value("sw_version", "").empty()) << line;
    EXPECT_EQ(device.value("configuration_url", ""), "http://127.0.0.1:" + std::to_string(page) + "/");
    EXPECT_EQ(c.value("state_class", "total_increasing"), "total_increasing");
  }
  EXPECT_EQ(objects, (std::set<std::string>{"link", "talk_group", "last_caller", "last_caller_id",
                                            "last_call_direction", "calls_from_network", "calls_to_network"}));
  // A named instance has a broker session of its own.
  EXPECT_NE(broker.log().find(" as trelvane-ts2 "), std::string::npos) << broker.log();
}

}  // namespace
}  // namespace faults
