// Faults of the MQTT broker, injected against the real binary while calls are
// carried: a broker that refuses the connection, that is killed, that resets the
// connection, that accepts and then stalls. The voice traffic never depends on it.
#include <signal.h>

#include <thread>

#include "common/mosquitto_broker.h"
#include "common/mqtt_probe.h"
#include "common/raw_broker.h"
#include "faults/fault_fixture.h"

namespace faults {
namespace {

using testing_support::bytes;
using testing_support::freeTcpPort;
using testing_support::MosquittoBroker;
using testing_support::MqttProbe;
using testing_support::RawBroker;

std::string brokerSettings(int port) {
  return "BrokerAddress = 127.0.0.1\nBrokerPort = " + std::to_string(port) + "\nBrokerClient = zelk-faults\n";
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

TEST_F(Faults, RefusingBrokerGivesFailedToInitializeAndBridgeStillCarriesCalls) {
  startAndLogIn(brokerSettings(freeTcpPort()));
  EXPECT_NE(zelk->output().find("MQTT broker failed to initialize\n"), std::string::npos) << zelk->output();
  localCallArrivesWhole(50);
  networkCallArrivesWhole(50);
  EXPECT_TRUE(zelk->running());
}

TEST_F(Faults, BrokerKilledMidCallLeavesVoiceTrafficUntouched) {
  MosquittoBroker broker;
  ASSERT_TRUE(broker.started());
  MqttProbe probe;
  ASSERT_TRUE(probe.connect(broker.port(), "faults-probe"));
  ASSERT_TRUE(probe.subscribe("trelvane/ZELK"));
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
  sleep(7);
  EXPECT_TRUE(zelk->running()) << zelk->output();
  localCallArrivesWhole(30, 100);
  networkCallArrivesWhole(30);
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
}

TEST_F(Faults, BrokerStallingBeforeSubscriptionAnswerEndsDaemonAfterReceiveTimeout) {
  RawBroker broker;
  startDaemon(brokerSettings(broker.port()));
  acceptClient(broker, false);  // then never a byte more, and nothing read
  ASSERT_TRUE(partner.waitUntil([](const std::vector<Datagram>& l) { return countEvents(l, kSuccessEvent) >= 1; },
                                kWaitMs))
      << zelk->output();
  auto stalled = std::chrono::steady_clock::now();
  // Calls pass while the client waits for the answer: lines only queue behind it.
  localCallArrivesWhole(50);
  networkCallArrivesWhole(50);
  EXPECT_TRUE(zelk->running());
  // The 30-second receive time-out is a receive error: the process ends with 0.
  EXPECT_EQ(zelk->waitExit(60000), 0) << zelk->output();
  auto waited = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - stalled).count();
  EXPECT_GE(waited, 25);
  EXPECT_NE(zelk->output().find("\nSocket recv returned -1, errno 11"), std::string::npos) << zelk->output();
}

}  // namespace
}  // namespace faults
