// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/broker.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/settings.h"
#include "common/mosquitto_broker.h"
#include "common/mqtt_probe.h"
#include "common/output_capture.h"
#include "common/process.h"
#include "common/raw_broker.h"
#include "telemetry/log_class.h"
#include "telemetry/mqtt.h"

namespace {

using testing_support::bytes;
using testing_support::operator+;
using testing_support::Bytes;
using testing_support::ChildProcess;
using testing_support::hex;
using testing_support::MosquittoBroker;
using testing_support::MqttProbe;
using testing_support::OutputCapture;
using testing_support::RawBroker;
using testing_support::TempDir;
using testing_support::text;

struct EmittedLines {
  std::mutex mutex;
  std::vector<std::string> all;    // every emitted line, in order
  std::vector<std::string> fatal;  // the level-6 ones
};

// The daemon's logger attached to a real mosquitto through setBroker, with a
// probe client subscribed to every "trelvane/" topic before the attachment.
class BrokerForwardingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mosquitto.started()) << mosquitto.log();
    ASSERT_TRUE(probe.connect(mosquitto.port(), "probe"));
    ASSERT_TRUE(probe.subscribe("trelvane/#"));

    // The daemon's own record, as the entry point hands it over.
    resetSettings(&config);
    free(config.brokerAddress);
    config.brokerAddress = strdup("127.0.0.1");
    config.brokerPort = static_cast<uint32_t>(mosquitto.port());
    logInstance.setLogLevel(3);
    out.reset(new OutputCapture(1));
    setBroker(brokerSettings(config));
    ASSERT_NE(broker, nullptr);
    logInstance.setLineObserver(
        [](void* context, unsigned int level, const char* line) {
          auto* lines = static_cast<EmittedLines*>(context);
          std::lock_guard<std::mutex> lock(lines->mutex);
          lines->all.push_back(line);
          if (level == LOG_FATAL) lines->fatal.push_back(line);
        },
        &emitted);
  }

  void TearDown() override {
    logInstance.setLineObserver(nullptr, nullptr);
    logInstance.setBroker(nullptr, nullptr);
    if (broker != nullptr) broker->disconnect();
    resetSettings(&config);
    out.reset();
  }

  std::vector<std::string> emittedLines() {
    std::lock_guard<std::mutex> lock(emitted.mutex);
    return emitted.all;
  }
  // The lines logged by the test itself, without the client's reports of its
  // connection.
  size_t linesOfTheTest() {
    size_t count = 0;
    for (const std::string& line : emittedLines()) count += line.find("MQTT broker") == std::string::npos ? 1 : 0;
    return count;
  }

  MosquittoBroker mosquitto;
  MqttProbe probe;
  EmittedLines emitted;
  std::unique_ptr<OutputCapture> out;  // standard output from before the attachment on
};

TEST_F(BrokerForwardingTest, EveryEmittedLineArrivesAsWrittenAndFatalLinesTwice) {
  EXPECT_TRUE(out->waitFor("Connected to MQTT Server at 127.0.0.1:" + std::to_string(mosquitto.port()) + "\n", 0));
  logInstance.log(LOG_MESSAGE, "below the threshold %d\n", 2);
  logInstance.log(LOG_INFO, "%s, call from %u\n", "DMR", 2042214u);
  logInstance.log(LOG_FATAL, "Fatal error, can not log into server.  Retry count exceeded.\n");
  logInstance.log(LOG_WARNING, "%s\n", std::string(1200, 'w').c_str());  // cut by the logger, published whole
  const unsigned char block[17] = {'Z', 'E', 'L', 'K'};
  logInstance.dump(LOG_ERROR, "alias block", block, sizeof(block));

  std::vector<std::string> lines = emittedLines();
  ASSERT_EQ(lines.size(), 6u);  // info, fatal, long, dump title and two dump lines
  probe.waitForMessages(lines.size() + 1, 10000);
  EXPECT_EQ(probe.payloads("trelvane/ZELK"), lines);
  EXPECT_EQ(probe.payloads("trelvane/error"), emitted.fatal);
  EXPECT_EQ(lines[2].size(), LOG_CLASS::kLineSize - 1);
  for (const std::string& line : probe.payloads("trelvane/ZELK")) {
    EXPECT_EQ(line.find("below the threshold"), std::string::npos);
  }
}

TEST_F(BrokerForwardingTest, PublicationOnTheDebugTopicIsPrinted) {
  ASSERT_TRUE(out->waitFor("Subscribed to MQTT Service trelvane/debug with QoS 0\n", 10000));
  ASSERT_TRUE(probe.publish("trelvane/debug", "dashboard says hello"));
  // The client reads it at its next wait; with no traffic, its keep-alive
  // thread makes one within a few seconds.
  EXPECT_TRUE(out->waitFor("dashboard says hello\n", 15000));
  logInstance.log(LOG_INFO, "still forwarding\n");
  probe.waitForMessages(2, 10000);
  ASSERT_EQ(probe.payloads("trelvane/ZELK").size(), 1u);
  EXPECT_EQ(probe.payloads("trelvane/ZELK")[0], emittedLines().at(0));
  // A message cannot start a line of its own or move the cursor: its control bytes are escaped.
  ASSERT_TRUE(probe.publish("trelvane/debug", "x\nF: forged\r\x1b[2J"));
  EXPECT_TRUE(out->waitFor("x\\nF: forged\\r\\x1b[2J\n", 15000));
  EXPECT_EQ(out->text().find("\nF: "), std::string::npos);
}

TEST_F(BrokerForwardingTest, KilledBrokerNeverStallsALogCall) {
  logInstance.log(LOG_INFO, "before the broker goes\n");
  ASSERT_EQ(probe.waitForMessages(1, 10000).size(), 1u);
  mosquitto.kill();

  // Logging goes on from several threads at once; every call returns.
  std::vector<std::thread> loggers;
  for (int t = 0; t < 4; ++t) {
    loggers.emplace_back([t] {
      for (int i = 0; i < 100; ++i) logInstance.log(LOG_INFO, "thread %d line %d\n", t, i);
    });
  }
  for (std::thread& logger : loggers) logger.join();
  EXPECT_EQ(linesOfTheTest(), 401u);

  // The client notices the end of the connection by itself, gives it up and
  // logs the loss.
  EXPECT_TRUE(out->waitFor("\nSocket EOF\n", 15000));
  EXPECT_TRUE(out->waitFor("MQTT broker connection lost, reconnecting in the background\n", 5000));
  logInstance.log(LOG_FATAL, "after the broker went\n");
  EXPECT_EQ(linesOfTheTest(), 402u);
}

// Mosquitto closes a connection that sends nothing for one and a half times the
// keep-alive of 30 seconds; the client's pings must hold it. Slow by nature.
TEST_F(BrokerForwardingTest, KeepAlivePingsHoldAnIdleConnectionPast45Seconds) {
  sleep(50);
  logInstance.log(LOG_INFO, "after fifty silent seconds\n");
  probe.waitForMessages(1, 10000);
  ASSERT_EQ(probe.payloads("trelvane/ZELK").size(), 1u);
  EXPECT_EQ(probe.payloads("trelvane/ZELK")[0], emittedLines().at(0));
  EXPECT_EQ(out->text().find("Socket EOF"), std::string::npos);
  EXPECT_EQ(out->text().find("did not get ping response"), std::string::npos);
}

TEST(BrokerAttachment, LoggerTeardownSendsQueuedLinesThenDisconnects) {
  RawBroker server;
  MQTT client;
  std::string line;
  {
    LOG_CLASS logger;
    logger.setLogLevel(3);
    logger.setLineObserver([](void* context, unsigned int, const char* text) { *static_cast<std::string*>(context) = text; },
                           &line);
    std::thread answer([&] {
      ASSERT_TRUE(server.accept(5000));
      server.read(24, 5000);
      server.send(RawBroker::connack(0));
    });
    ASSERT_EQ(client.connect("trelvane", "127.0.0.1", static_cast<unsigned>(server.port())), 1);
    answer.join();
    char topic[] = "trelvane/ZELK";
    logger.setBroker(&client, topic);
    logger.log(LOG_FATAL, "last words\n");
  }  // the destructor detaches and disconnects the client
  Bytes expected = testing_support::publishPacket("trelvane/ZELK", line) +
                   testing_support::publishPacket("trelvane/error", line) + bytes({0xE0, 0x00});
  EXPECT_EQ(hex(server.read(expected.size() + 1, 2000)), hex(expected));
  EXPECT_TRUE(server.waitForClose(5000));
}

// The real daemon with a broker in its configuration.
class ZelkBrokerTest : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> startZelk(int brokerPort, const std::string& extra = "") {
    // The partner port is the system's choice: cases running side by side
    // must not take each other's.
    dir.write("zelk.ini", "[ZELK]\nLogLevel=3\nRXPort=0\nBrokerAddress=127.0.0.1\nBrokerPort=" +
                              std::to_string(brokerPort) + "\n" + extra);
    return std::unique_ptr<ChildProcess>(new ChildProcess({testing_support::binaryPath("zelk"), dir.file("zelk.ini")},
                                                          dir.path(), {"ZELK_LOG=" + dir.path()}));
  }

  TempDir dir;
};

TEST_F(ZelkBrokerTest, BannerIsPublishedButTheSettingsEchoIsNot) {
  MosquittoBroker mosquitto;
  ASSERT_TRUE(mosquitto.started()) << mosquitto.log();
  MqttProbe probe;
  ASSERT_TRUE(probe.connect(mosquitto.port(), "probe"));
  ASSERT_TRUE(probe.subscribe("trelvane/#"));

  auto zelk = startZelk(mosquitto.port());
  probe.waitForMessages(3, 10000);
  std::vector<std::string> published = probe.payloads("trelvane/ZELK");
  ASSERT_GE(published.size(), 3u) << zelk->output();
  EXPECT_NE(published[0].find("ZELK is starting\n"), std::string::npos);
  // Every published line is one written to standard output, whole; the echo of
  // the settings, logged before the attachment, is only written there.
  std::string out = zelk->output();
  EXPECT_NE(out.find("Setting [ZELK] BrokerAddress -> 127.0.0.1"), std::string::npos);
  for (const std::string& line : published) {
    EXPECT_EQ(testing_support::countOccurrences(out, line), 1) << line;
    EXPECT_EQ(line.find("Setting ["), std::string::npos) << line;
  }

  zelk->sendSignal(SIGTERM);
  EXPECT_EQ(zelk->waitExit(10000), 0);
}

TEST_F(ZelkBrokerTest, RefusingBrokerLeavesTheDaemonRunningAndTryingAgain) {
  int closedPort = testing_support::freeTcpPort();
  auto zelk = startZelk(closedPort);
  ASSERT_TRUE(zelk->waitForOutput("ZELK is starting\n", 10000));
  const std::string refused = "MQTT: failed to connect: to server socket (-1)\n";
  EXPECT_EQ(zelk->errors().rfind(refused, 0), 0u) << zelk->errors();
  std::string out = zelk->output();
  size_t failed = out.find("MQTT broker failed to initialize\n");
  ASSERT_NE(failed, std::string::npos) << out;
  EXPECT_EQ(out.substr(failed - LOG_CLASS::kPrefixLength, 3), "E: ");
  EXPECT_LT(failed, out.find("ZELK is starting\n"));
  EXPECT_TRUE(zelk->running());
  // The client tries again in the background: 1 s, then 2 s later.
  for (int i = 0; i < 50 && testing_support::countOccurrences(zelk->errors(), refused) < 3; ++i) usleep(100 * 1000);
  EXPECT_EQ(testing_support::countOccurrences(zelk->errors(), refused), 3) << zelk->errors();
  EXPECT_TRUE(zelk->running());
  zelk->sendSignal(SIGTERM);
  EXPECT_EQ(zelk->waitExit(10000), 0);
}

TEST_F(ZelkBrokerTest, ResetDuringTheSubackWaitIsSurvivedAndTheConnectionMadeAgainAlike) {
  RawBroker server;
  auto zelk = startZelk(server.port(), "BrokerClient=trelvane\n");
  const Bytes connect = bytes({0x10, 0x16, 0x00, 0x06}) + text("MQIsdp") +
                        bytes({0x03, 0x02, 0x00, 0x1E, 0x00, 0x08}) + text("trelvane");
  const Bytes subscribe = bytes({0x82, 0x13, 0x00, 0x01, 0x00, 0x0E}) + text("trelvane/debug") + bytes({0x00});
  ASSERT_TRUE(server.accept(10000));
  EXPECT_EQ(hex(server.read(24, 5000)), hex(connect));
  server.send(RawBroker::connack(0));
  EXPECT_EQ(hex(server.read(21, 5000)), hex(subscribe));
  server.resetConnection();
  // The daemon goes on; a second later the same CONNECT and SUBSCRIBE come again.
  ASSERT_TRUE(server.accept(10000)) << zelk->output();
  EXPECT_EQ(hex(server.read(24, 5000)), hex(connect));
  server.send(RawBroker::connack(0));
  EXPECT_EQ(hex(server.read(21, 5000)), hex(subscribe));
  server.send(bytes({0x90, 0x03, 0x00, 0x01, 0x00}));
  EXPECT_TRUE(zelk->running());
  EXPECT_NE(zelk->output().find("\nSocket recv returned -1, errno 104 Connection reset by peer\n"), std::string::npos)
      << zelk->output();
  // The loss and the new connection are in the log file, and published.
  Bytes published = server.read(4096, 3000);
  std::string log = testing_support::readFile(dir.file("ZELK.log"));
  size_t lost = log.find("MQTT broker connection lost, reconnecting in the background\n");
  EXPECT_NE(lost, std::string::npos) << log;
  EXPECT_NE(log.find("MQTT broker reconnected\n", lost), std::string::npos) << log;
  std::string publishedText(published.begin(), published.end());
  EXPECT_NE(publishedText.find("MQTT broker reconnected\n"), std::string::npos);
  zelk->sendSignal(SIGTERM);
  EXPECT_EQ(zelk->waitExit(10000), 0);
}

}  // namespace
