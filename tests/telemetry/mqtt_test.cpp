// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/mqtt.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "common/output_capture.h"
#include "common/process.h"
#include "base/clock.h"
#include "common/raw_broker.h"
#include "telemetry/backoff.h"
#include "telemetry/publish_queue.h"

namespace {

using testing_support::bytes;
using testing_support::operator+;
using testing_support::Bytes;
using testing_support::hex;
using testing_support::OutputCapture;
using testing_support::RawBroker;
using testing_support::text;

const Bytes kConnectTrelvane = bytes({0x10, 0x16, 0x00, 0x06}) + text("MQIsdp") +
                               bytes({0x03, 0x02, 0x00, 0x1E, 0x00, 0x08}) + text("trelvane");
const Bytes kPingreq = bytes({0xC0, 0x00});
const Bytes kPingresp = bytes({0xD0, 0x00});
const Bytes kDisconnect = bytes({0xE0, 0x00});
const Bytes kSubscribeDebug = bytes({0x82, 0x13, 0x00, 0x01, 0x00, 0x0E}) + text("trelvane/debug") + bytes({0x00});

Bytes publication(const std::string& topic, const std::string& payload, int id = -1) {
  return testing_support::publishPacket(topic, payload, id);
}
Bytes retained(const std::string& topic, const std::string& payload) {
  Bytes packet = publication(topic, payload);
  packet[0] |= 0x01;
  return packet;
}

// A retained Will of "offline" on trelvane/ZELK/availability: flags 0x26, the
// identifier, then the Will's topic and message, each behind its length.
const MqttWill kOfflineWill{"trelvane/ZELK/availability", "offline", true};
const Bytes kConnectWithWill = bytes({0x10, 0x3B, 0x00, 0x06}) + text("MQIsdp") +
                               bytes({0x03, 0x26, 0x00, 0x1E, 0x00, 0x08}) + text("trelvane") + bytes({0x00, 0x1A}) +
                               text("trelvane/ZELK/availability") + bytes({0x00, 0x07}) + text("offline");

// The packet layer against the raw stand-in broker. Blocking client calls run on
// a helper thread (pending); the broker is driven from the test thread. The
// broker is declared after pending, so it closes first if a test fails early and
// a blocked call sees the end of the stream instead of hanging.
class MqttPacketTest : public ::testing::Test {
 protected:
  void TearDown() override {
    server.closeConnection();  // a call still waiting sees the end of the stream
    if (pending.valid()) pending.wait();
    MQTT::mqtt_disconnect(handle);
  }

  template <typename F>
  void runClient(F work) {
    pending = std::async(std::launch::async, work);
  }
  int clientResult() { return pending.get(); }

  // Connects a handle for client "trelvane" and consumes the CONNECT.
  void connectHandle() {
    runClient([this] {
      handle = MQTT::mqtt_connect("trelvane", "127.0.0.1", static_cast<unsigned>(server.port()));
      return 0;
    });
    ASSERT_TRUE(server.accept(5000));
    ASSERT_EQ(hex(server.read(kConnectTrelvane.size(), 5000)), hex(kConnectTrelvane));
    ASSERT_TRUE(server.send(RawBroker::connack(0)));
    clientResult();
    ASSERT_NE(handle, nullptr);
  }

  ManualTime time;  // for a test that drives a handle's clock by hand
  std::future<int> pending;
  RawBroker server;
  mqtt_broker_handle* handle = nullptr;
};

TEST_F(MqttPacketTest, ConnectSendsTheMQIsdpPacketAndAcceptsTheConnack) {
  OutputCapture out(1);
  connectHandle();
  EXPECT_EQ(handle->connected, 1);
  EXPECT_STREQ(handle->clientId, "trelvane");
  EXPECT_EQ(handle->port, server.port());
  EXPECT_TRUE(out.waitFor("Connected to MQTT Server at 127.0.0.1:" + std::to_string(server.port()) + "\n", 0));

  MQTT::mqtt_disconnect(handle);
  handle = nullptr;
  EXPECT_EQ(hex(server.read(2, 5000)), hex(kDisconnect));
  EXPECT_TRUE(server.waitForClose(5000));

  // With a Will (a non-retained one only differs in its flags, 0x06).
  for (bool retain : {true, false}) {
    MqttWill will = kOfflineWill;
    will.retain = retain;
    Bytes expected = kConnectWithWill;
    expected[11] = retain ? 0x26 : 0x06;
    runClient([&] {
      handle = MQTT::mqtt_connect("trelvane", "127.0.0.1", static_cast<unsigned>(server.port()), &will);
      return 0;
    });
    ASSERT_TRUE(server.accept(5000));
    EXPECT_EQ(hex(server.read(expected.size() + 1, 2000)), hex(expected));
    server.send(RawBroker::connack(0));
    clientResult();
    ASSERT_NE(handle, nullptr);
    // Retained publications carry the retain bit; the others stay as they were.
    ASSERT_EQ(MQTT::mqtt_publish(handle, "s", "on", QOS0, true), 1);
    ASSERT_EQ(MQTT::mqtt_publish(handle, "s", "on", QOS0), 1);
    EXPECT_EQ(hex(server.read(14, 2000)), hex(bytes({0x31, 0x05, 0x00, 0x01, 's', 'o', 'n', 0x30, 0x05, 0x00, 0x01,
                                                      's', 'o', 'n'})));
    MQTT::mqtt_disconnect(handle);
    handle = nullptr;
    server.closeConnection();
  }
}

TEST_F(MqttPacketTest, ConnackWithNonZeroCodeFailsWithThatCode) {
  OutputCapture err(2);
  runClient([this] {
    handle = MQTT::mqtt_connect("trelvane", "127.0.0.1", static_cast<unsigned>(server.port()));
    return 0;
  });
  ASSERT_TRUE(server.accept(5000));
  server.read(kConnectTrelvane.size(), 5000);
  server.send(RawBroker::connack(5));
  clientResult();
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(err.text(), "MQTT: failed to connect with error: 5\n");
  // The failed connect still says goodbye and closes.
  EXPECT_EQ(hex(server.read(2, 5000)), hex(kDisconnect));
  EXPECT_TRUE(server.waitForClose(5000));
}

TEST_F(MqttPacketTest, LimitsAndRefusalsFailWithTheirMessages) {
  OutputCapture err(2);
  std::string port = std::to_string(server.port());
  std::string id23(23, 'c');
  std::string id24(24, 'c');
  std::string host80(80, 'h');

  EXPECT_EQ(MQTT::mqtt_connect(id24.c_str(), "127.0.0.1", static_cast<unsigned>(server.port())), nullptr);
  EXPECT_EQ(MQTT::mqtt_connect("trelvane", host80.c_str(), static_cast<unsigned>(server.port())), nullptr);
  EXPECT_EQ(MQTT::mqtt_connect("trelvane", "127.0.0.1", 70000), nullptr);
  EXPECT_FALSE(server.accept(200)) << "no socket may be created for identifiers or hosts over the limits";
  EXPECT_EQ(err.text(), "MQTT: failed to connect: client or server exceed limits\n"
                        "MQTT: failed to connect: client or server exceed limits\n"
                        "MQTT: failed to connect: client or server exceed limits\n");

  int closedPort = testing_support::freeTcpPort();
  EXPECT_EQ(MQTT::mqtt_connect("trelvane", "127.0.0.1", static_cast<unsigned>(closedPort)), nullptr);
  EXPECT_NE(err.text().find("MQTT: failed to connect: to server socket (-1)\n"), std::string::npos);

  // Twenty-three characters are within the limit.
  runClient([&] {
    handle = MQTT::mqtt_connect(id23.c_str(), "127.0.0.1", static_cast<unsigned>(server.port()));
    return 0;
  });
  ASSERT_TRUE(server.accept(5000));
  Bytes connect = server.read(16 + 23, 5000);
  ASSERT_EQ(connect.size(), 16u + 23u);
  EXPECT_EQ(connect[1], 14 + 23);
  EXPECT_EQ(connect[15], 23);
  server.send(RawBroker::connack(0));
  clientResult();
  EXPECT_NE(handle, nullptr);
}

TEST_F(MqttPacketTest, BrokerThatNeverAnswersCannotHoldTheConnect) {
  OutputCapture err(2);
  runClient([this] {
    handle = MQTT::mqtt_connect("trelvane", "127.0.0.1", static_cast<unsigned>(server.port()), nullptr, Clock(&time));
    return 0;
  });
  ASSERT_TRUE(server.accept(5000));
  server.read(kConnectTrelvane.size(), 5000);
  // No CONNACK: the connect gives up after its own time-out, which the clock
  // passes again until the wait for the answer has begun.
  for (int i = 0; i < 10 && pending.wait_for(std::chrono::milliseconds(i == 0 ? 0 : 1500)) !=
                                std::future_status::ready;
       ++i) {
    time.advanceMs(MQTT::kConnectTimeoutMs);
  }
  clientResult();
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(err.text(), "MQTT: failed to connect with error: 0\n");
}

TEST_F(MqttPacketTest, SubscribeCarriesTheQos1BitsAndWaitsForItsSuback) {
  connectHandle();
  OutputCapture out(1);
  runClient([this] { return MQTT::mqtt_subscribe(handle, "trelvane/debug", QOS0); });
  // 0x82, not 0x80: brokers from mosquitto 2.0.12 on drop a client that leaves the bits out.
  EXPECT_EQ(hex(server.read(21, 5000)), hex(bytes({0x82, 0x13, 0x00, 0x01, 0x00, 0x0E}) + text("trelvane/debug") +
                                            bytes({0x00})));
  server.send(bytes({0x90, 0x03, 0x00, 0x01, 0x00}));
  EXPECT_EQ(clientResult(), 1);
  EXPECT_EQ(out.text(), "Subscribed to MQTT Service trelvane/debug with QoS 0\n");

  // A SUBACK for another identifier is no acknowledgement of ours.
  runClient([this] { return MQTT::mqtt_subscribe(handle, "trelvane/debug", QOS0); });
  server.read(21, 5000);
  server.send(bytes({0x90, 0x03, 0x00, 0x02, 0x00}));
  EXPECT_EQ(clientResult(), -1);
  EXPECT_NE(out.text().find("failed to subscribe\n"), std::string::npos);

  // A SUBACK longer than the receive buffer keeps its identifier.
  runClient([this] { return MQTT::mqtt_subscribe(handle, "trelvane/debug", QOS0); });
  server.read(21, 5000);
  server.send(bytes({0x90, 0xCA, 0x01, 0x00, 0x01}) + Bytes(200, 0x00));
  EXPECT_EQ(clientResult(), 1);
}

TEST_F(MqttPacketTest, Qos0RemainingLengthTakesTwoBytesFrom128) {
  connectHandle();
  std::string topic = "trelvane/ZELK";  // 13 bytes
  std::string fits(125 - topic.size(), 'a');
  ASSERT_EQ(MQTT::mqtt_publish(handle, topic.c_str(), fits.c_str(), QOS0), 1);
  EXPECT_EQ(hex(server.read(129, 5000)), hex(bytes({0x30, 0x7F, 0x00, 0x0D}) + text(topic) + text(fits)));

  std::string oneMore(126 - topic.size(), 'b');
  ASSERT_EQ(MQTT::mqtt_publish(handle, topic.c_str(), oneMore.c_str(), QOS0), 1);
  EXPECT_EQ(hex(server.read(131, 5000)), hex(bytes({0x30, 0x80, 0x01, 0x00, 0x0D}) + text(topic) + text(oneMore)));

  // An empty message is an empty payload, not a subscription.
  ASSERT_EQ(MQTT::mqtt_publish(handle, topic.c_str(), "", QOS0), 1);
  EXPECT_EQ(hex(server.read(17, 5000)), hex(bytes({0x30, 0x0F, 0x00, 0x0D}) + text(topic)));
}

TEST_F(MqttPacketTest, LongTopicsAndLinesArePublishedWholeWithConsistentLengths) {
  connectHandle();
  std::string topic(300, 't');
  std::string line = std::string(1022, 'x') + "\n";  // the longest line the logger makes
  ASSERT_EQ(MQTT::mqtt_publish(handle, topic.c_str(), line.c_str(), QOS0), 1);
  // 2 + 300 + 1023 = 1325 = 0x52D: 0xAD 0x0A; topic length 0x012C.
  Bytes expected = bytes({0x30, 0xAD, 0x0A, 0x01, 0x2C}) + text(topic) + text(line);
  EXPECT_EQ(hex(server.read(expected.size(), 5000)), hex(expected));

  // QoS 1 with more than 127 bytes uses the same length encoding.
  std::string message(200, 'm');
  runClient([&] { return MQTT::mqtt_publish(handle, "trelvane/ZELK", message.c_str(), QOS1); });
  Bytes qos1 = bytes({0x32, 0xD9, 0x01, 0x00, 0x0D}) + text("trelvane/ZELK") + bytes({0x00, 0x01}) + text(message);
  EXPECT_EQ(hex(server.read(qos1.size(), 5000)), hex(qos1));
  server.send(bytes({0x40, 0x02, 0x00, 0x01}));
  EXPECT_EQ(clientResult(), 1);
}

TEST_F(MqttPacketTest, Qos1WaitsForThePubackOfItsOwnIdentifier) {
  connectHandle();
  OutputCapture out(1);
  runClient([this] { return MQTT::mqtt_publish(handle, "t/1", "hi", QOS1); });
  EXPECT_EQ(hex(server.read(11, 5000)), hex(bytes({0x32, 0x09, 0x00, 0x03}) + text("t/1") + bytes({0x00, 0x01}) +
                                            text("hi")));
  server.send(bytes({0x40, 0x02, 0x00, 0x01}));
  EXPECT_EQ(clientResult(), 1);
  EXPECT_EQ(out.text(), "Published to MQTT Service t/1 with QoS1\n");

  runClient([this] { return MQTT::mqtt_publish(handle, "t/1", "hi", QOS1); });
  server.read(11, 5000);
  server.send(bytes({0x40, 0x02, 0x00, 0x01}));  // stale: ours is 2 now
  EXPECT_EQ(clientResult(), -1);
  EXPECT_NE(out.text().find("failed to publish at QoS1\n"), std::string::npos);

  // QoS 2: sent with the next identifier, no exchange follows.
  EXPECT_EQ(MQTT::mqtt_publish(handle, "t/1", "hi", QOS2), 1);
  EXPECT_EQ(hex(server.read(11, 5000)), hex(bytes({0x34, 0x09, 0x00, 0x03}) + text("t/1") + bytes({0x00, 0x03}) +
                                            text("hi")));
  EXPECT_EQ(MQTT::mqtt_publish(handle, "t/1", "hi", static_cast<QoS>(3)), -1);

  // Identifier 0 is not a valid one: the count wraps from 65535 to 1.
  handle->lastMessageId = 65535;
  EXPECT_EQ(MQTT::mqtt_publish(handle, "t/1", "hi", QOS2), 1);
  EXPECT_EQ(hex(server.read(11, 5000)), hex(bytes({0x34, 0x09, 0x00, 0x03}) + text("t/1") + bytes({0x00, 0x01}) +
                                            text("hi")));
}

TEST_F(MqttPacketTest, PingWaitPrintsPublicationsAndAcknowledgesQos1Ones) {
  connectHandle();
  OutputCapture out(1);
  runClient([this] { return MQTT::mqtt_pingreq(handle); });
  EXPECT_EQ(hex(server.read(2, 5000)), hex(kPingreq));
  server.send(publication("trelvane/debug", "hello dashboard") + publication("trelvane/debug", "second", 7) + kPingresp);
  EXPECT_EQ(clientResult(), 1);
  EXPECT_EQ(hex(server.read(4, 5000)), hex(bytes({0x40, 0x02, 0x00, 0x07})));
  EXPECT_EQ(out.text(), "hello dashboard\nsecond\n");
}

TEST_F(MqttPacketTest, OversizedSplitAndMalformedPacketsKeepTheStreamInStep) {
  connectHandle();
  OutputCapture out(1);
  runClient([this] { return MQTT::mqtt_pingreq(handle); });
  server.read(2, 5000);

  std::string big(500, 'x');
  Bytes longPublication = publication("trelvane/debug", big);  // two-byte remaining length
  // An unknown packet of 300 bytes whose body looks like a PINGRESP.
  Bytes junk = bytes({0xB0, 0xAC, 0x02});
  for (int i = 0; i < 150; ++i) junk = junk + kPingresp;
  // A PUBLISH whose topic length runs past its end: dropped whole.
  Bytes malformed = bytes({0x30, 0x04, 0x00, 0x09, 'a', 'b'});
  Bytes stream = longPublication + junk + malformed + kPingresp;
  // In pieces, so that receives come back short.
  for (size_t at = 0; at < stream.size(); at += 97) {
    server.send(Bytes(stream.begin() + static_cast<long>(at),
                      stream.begin() + static_cast<long>(std::min(stream.size(), at + 97))));
    usleep(2000);
  }
  EXPECT_EQ(clientResult(), 1);
  EXPECT_EQ(out.text(), big + "\n");
  EXPECT_EQ(handle->connected, 1);
}

TEST_F(MqttPacketTest, BrokerClosingDuringAWaitGivesSocketEofAndRetiresTheSocket) {
  connectHandle();
  OutputCapture out(1);
  runClient([this] { return MQTT::mqtt_pingreq(handle); });
  server.read(2, 5000);
  server.closeConnection();
  EXPECT_EQ(clientResult(), -1);
  EXPECT_EQ(out.text(), "\nSocket EOF\ndid not get ping response\n");
  EXPECT_FALSE(handle->sock.valid());
  // Nothing later touches the closed descriptor.
  EXPECT_EQ(MQTT::mqtt_publish(handle, "t", "m", QOS0), -1);
  EXPECT_EQ(MQTT::mqtt_subscribe(handle, "t", QOS0), -1);
  EXPECT_EQ(MQTT::serviceSocket(handle, 13), 0);
}

TEST_F(MqttPacketTest, ResetDuringAWaitIsAReceiveErrorThatClosesTheConnection) {
  connectHandle();
  OutputCapture out(1);
  runClient([this] { return MQTT::mqtt_pingreq(handle); });
  server.read(2, 5000);
  server.resetConnection();
  EXPECT_EQ(clientResult(), -1);
  EXPECT_EQ(out.text().rfind("\nSocket recv returned -1, errno 104 Connection reset by peer\n", 0), 0u) << out.text();
  EXPECT_FALSE(handle->sock.valid());
}

TEST_F(MqttPacketTest, FifthRemainingLengthByteClosesTheConnection) {
  connectHandle();
  OutputCapture out(1);
  runClient([this] { return MQTT::serviceSocket(handle, 13); });
  server.send(bytes({0xD0, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
  EXPECT_EQ(clientResult(), 0);
  EXPECT_FALSE(handle->sock.valid());
  EXPECT_TRUE(server.waitForClose(5000));
}

// The client object against the raw broker: its queue and its two threads.
class MqttClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    server.closeConnection();
    if (pending.valid()) pending.wait();
    client.disconnect();
  }

  // Connects the client as "trelvane" and consumes the CONNECT.
  void connectClient() {
    pending = std::async(std::launch::async,
                         [this] { return client.connect("trelvane", "127.0.0.1", static_cast<unsigned>(server.port())); });
    ASSERT_TRUE(server.accept(5000));
    ASSERT_EQ(hex(server.read(kConnectTrelvane.size(), 5000)), hex(kConnectTrelvane));
    ASSERT_TRUE(server.send(RawBroker::connack(0)));
    ASSERT_EQ(pending.get(), 1);
  }
  void subscribeDebug() {
    ASSERT_EQ(client.subscribe("trelvane/debug", QOS0), 1);
    ASSERT_EQ(server.read(21, 5000).size(), 21u);
    ASSERT_TRUE(server.send(bytes({0x90, 0x03, 0x00, 0x01, 0x00})));
  }

  std::future<int> pending;
  RawBroker server;
  MQTT client;  // destroyed first: it stops its threads while the broker still exists
};

TEST_F(MqttClientTest, NothingIsQueuedBeforeAConnect) {
  OutputCapture err(2);
  EXPECT_EQ(client.subscribe("trelvane/debug", QOS0), 0);
  std::string id24(24, 'c');
  EXPECT_EQ(client.connect(id24.c_str(), "127.0.0.1", static_cast<unsigned>(server.port())), 0);
  EXPECT_EQ(client.subscribe("trelvane/debug", QOS0), 0);
  EXPECT_FALSE(server.accept(200));
  EXPECT_EQ(client.disconnect(), 0);
}

TEST_F(MqttClientTest, EntriesGoOutInQueueOrderAndDisconnectSendsThemFirst) {
  connectClient();
  ASSERT_EQ(client.subscribe("trelvane/debug", QOS0), 1);
  Bytes subscribe = server.read(21, 5000);
  ASSERT_EQ(subscribe.size(), 21u);
  EXPECT_EQ(subscribe[0], 0x82);
  // Queued while the SUBACK is outstanding: they wait behind the subscription.
  client.publish(new Publish("a", "one", QOS0));
  client.publish(new Publish("a", "two", QOS0));
  server.send(bytes({0x90, 0x03, 0x00, 0x01, 0x00}));
  Bytes both = publication("a", "one") + publication("a", "two");
  EXPECT_EQ(hex(server.read(both.size(), 5000)), hex(both));

  client.publish(new Publish("a", "last", QOS0));
  EXPECT_EQ(client.disconnect(), 0);
  Bytes last = publication("a", "last") + kDisconnect;
  EXPECT_EQ(hex(server.read(last.size() + 1, 2000)), hex(last));
  EXPECT_TRUE(server.waitForClose(5000));
  EXPECT_EQ(client.subscribe("trelvane/debug", QOS0), 0);
}

TEST_F(MqttClientTest, DisconnectEndsEvenWhenTheBrokerStalls) {
  OutputCapture out(1);
  connectClient();
  ASSERT_EQ(client.subscribe("trelvane/debug", QOS0), 1);
  server.read(21, 5000);
  // No SUBACK: the connection thread is stuck in its wait; publications pile up.
  for (int i = 0; i < 100; ++i) client.publish(new Publish("a", "queued", QOS0));
  EXPECT_EQ(client.disconnect(), 0);
  EXPECT_TRUE(server.waitForClose(5000));
  EXPECT_NE(out.text().find("failed to subscribe\n"), std::string::npos);
}

TEST_F(MqttClientTest, DisconnectEndsEvenWhenTheBrokerStopsReading) {
  connectClient();
  subscribeDebug();
  // Far more than the socket buffers hold: the connection thread blocks in a send.
  std::string line(1000, 'x');
  for (int i = 0; i < 30000; ++i) client.publish(new Publish("trelvane/ZELK", line.c_str(), QOS0));
  usleep(200 * 1000);
  EXPECT_EQ(client.disconnect(), 0);  // always 0: what it did shows below
  EXPECT_FALSE(client.isConnected());
  EXPECT_TRUE(server.waitForClose(5000)) << "the blocked connection is cut, not left open";
}

TEST_F(MqttClientTest, UnreadPublicationIsReadBeforeTheBrokerKeepAliveRunsOut) {
  OutputCapture out(1);
  connectClient();
  subscribeDebug();
  // Nothing is waiting on the socket when this arrives; the keep-alive thread
  // sees it unread and has a ping read it.
  server.send(publication("trelvane/debug", "status please"));
  EXPECT_EQ(hex(server.read(2, 15000)), hex(kPingreq));
  server.send(kPingresp);
  EXPECT_TRUE(out.waitFor("status please\n", 5000));
  EXPECT_EQ(out.text().find("did not get ping response"), std::string::npos);
}

TEST_F(MqttClientTest, BrokerResettingAnIdleConnectionIsNoticedAndConnectedAgain) {
  OutputCapture out(1);
  connectClient();
  subscribeDebug();
  EXPECT_TRUE(client.isConnected());
  server.resetConnection();
  EXPECT_TRUE(out.waitFor("\nSocket EOF\n", 15000));
  // Entries queued while the broker is away wait for the next connection, which
  // begins exactly as the first: CONNECT, then the subscription, then the queue.
  Bytes queued;
  for (int i = 0; i < 50; ++i) {
    client.publish(new Publish("a", "queued", QOS0));
    queued = queued + publication("a", "queued");
  }
  ASSERT_TRUE(server.accept(5000));
  EXPECT_EQ(hex(server.read(kConnectTrelvane.size(), 5000)), hex(kConnectTrelvane));
  server.send(RawBroker::connack(0));
  EXPECT_EQ(hex(server.read(kSubscribeDebug.size(), 5000)), hex(kSubscribeDebug));
  server.send(bytes({0x90, 0x03, 0x00, 0x01, 0x00}));
  EXPECT_EQ(hex(server.read(queued.size(), 5000)), hex(queued));
  EXPECT_TRUE(client.isConnected());

  // Lost again, and the next broker takes the CONNECT and never answers: the
  // CONNACK wait holds no disconnect.
  server.resetConnection();
  ASSERT_TRUE(server.accept(15000));
  EXPECT_EQ(hex(server.read(kConnectTrelvane.size(), 5000)), hex(kConnectTrelvane));
  EXPECT_FALSE(client.isConnected());
  auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(client.disconnect(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(MQTT::kConnectTimeoutMs / 2));
  EXPECT_EQ(out.text().find("failed to disconnect"), std::string::npos);
}

TEST_F(MqttClientTest, StatesGoOutOnEveryConnectionAndTheWillBeforeTheGoodbye) {
  client.setWill(kOfflineWill);
  client.publishState("z/availability", "online");
  pending = std::async(std::launch::async,
                       [this] { return client.connect("trelvane", "127.0.0.1", static_cast<unsigned>(server.port())); });
  ASSERT_TRUE(server.accept(5000));
  EXPECT_EQ(hex(server.read(kConnectWithWill.size(), 5000)), hex(kConnectWithWill));
  server.send(RawBroker::connack(0));
  ASSERT_EQ(pending.get(), 1);
  EXPECT_EQ(hex(server.read(retained("z/availability", "online").size(), 5000)),
            hex(retained("z/availability", "online")));
  client.publishState("z/status", "one");
  client.publishState("z/status", "two");
  Bytes both = retained("z/status", "one") + retained("z/status", "two");
  EXPECT_EQ(hex(server.read(both.size(), 5000)), hex(both));

  // A new connection carries the Will again and begins with the newest state of
  // each topic, before anything queued meanwhile.
  OutputCapture out(1);
  server.resetConnection();
  EXPECT_TRUE(out.waitFor("\nSocket EOF\n", 15000));
  client.publish(new Publish("a", "queued", QOS0));
  ASSERT_TRUE(server.accept(5000));
  EXPECT_EQ(hex(server.read(kConnectWithWill.size(), 5000)), hex(kConnectWithWill));
  server.send(RawBroker::connack(0));
  Bytes again = retained("z/availability", "online") + retained("z/status", "two") + publication("a", "queued");
  EXPECT_EQ(hex(server.read(again.size(), 5000)), hex(again));

  // A clean end publishes the Will itself: the broker drops it on DISCONNECT.
  EXPECT_EQ(client.disconnect(), 0);
  Bytes last = retained("trelvane/ZELK/availability", "offline") + kDisconnect;
  EXPECT_EQ(hex(server.read(last.size() + 1, 2000)), hex(last));
}

TEST_F(MqttClientTest, FailedFirstConnectIsMadeAgainInTheBackground) {
  OutputCapture err(2);
  pending = std::async(std::launch::async,
                       [this] { return client.connect("trelvane", "127.0.0.1", static_cast<unsigned>(server.port())); });
  ASSERT_TRUE(server.accept(5000));
  server.read(kConnectTrelvane.size(), 5000);
  server.closeConnection();  // no CONNACK
  EXPECT_EQ(pending.get(), 0);
  EXPECT_FALSE(client.isConnected());
  // The client runs all the same: the subscription and the lines wait for it.
  ASSERT_EQ(client.subscribe("trelvane/debug", QOS0), 1);
  client.publish(new Publish("a", "before the broker", QOS0));
  ASSERT_TRUE(server.accept(5000));
  EXPECT_EQ(hex(server.read(kConnectTrelvane.size(), 5000)), hex(kConnectTrelvane));
  server.send(RawBroker::connack(0));
  EXPECT_EQ(hex(server.read(kSubscribeDebug.size(), 5000)), hex(kSubscribeDebug));
  server.send(bytes({0x90, 0x03, 0x00, 0x01, 0x00}));
  Bytes line = publication("a", "before the broker");
  EXPECT_EQ(hex(server.read(line.size(), 5000)), hex(line));
  EXPECT_TRUE(client.isConnected());
  EXPECT_EQ(err.text(), "MQTT: failed to connect with error: 0\n");
}

TEST(MqttBackoff, DoublesFromOneSecondToAMinuteAndStartsAgainAfterASteadyMinute) {
  Backoff backoff;
  long long now = 0;
  std::vector<long long> pauses;
  for (int i = 0; i < 9; ++i) {
    pauses.push_back(backoff.next(now));
    now += pauses.back() + 10;  // each attempt fails at once
  }
  EXPECT_EQ(pauses, (std::vector<long long>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}));

  // A connection that lasts less than a minute keeps the count; a steady one resets it.
  backoff.connected(now);
  EXPECT_EQ(backoff.next(now + 59999), 60000);
  backoff.connected(now + 70000);
  EXPECT_EQ(backoff.next(now + 130000), 1000);
  EXPECT_EQ(backoff.next(now + 131010), 2000);
  backoff.connected(now + 133000);
  EXPECT_EQ(backoff.next(now + 140000), 4000);
}

TEST(MqttPublishQueue, KeepsTheNewestPublicationsAndCountsTheDroppedOnceIdle) {
  PublishQueue queue(3);
  queue.push(std::unique_ptr<Publish>(new Publish("trelvane/debug", nullptr, QOS0)));
  for (int i = 0; i < 10; ++i) {
    queue.push(std::unique_ptr<Publish>(new Publish("t", std::to_string(i).c_str(), QOS0)));
    if (i == 4) queue.push(std::unique_ptr<Publish>(new Publish(nullptr, nullptr, QOS0)));
  }
  queue.stop();
  queue.push(std::unique_ptr<Publish>(new Publish("t", "after the stop", QOS0)));
  EXPECT_EQ(queue.takeDroppedWhenIdle(), 0u) << "reported only once the backlog is out";
  // Commands are never dropped; of the publications the newest three are left.
  std::vector<std::string> order;
  for (std::unique_ptr<Publish> entry = queue.pop(); entry != nullptr; entry = queue.pop()) {
    order.push_back(entry->getTopic() == nullptr ? "ping"
                    : entry->getMessage() == nullptr ? "subscribe"
                                                     : entry->getMessage());
  }
  EXPECT_EQ(order, (std::vector<std::string>{"subscribe", "ping", "7", "8", "9"}));
  EXPECT_EQ(queue.takeDroppedWhenIdle(), 7u);
  EXPECT_EQ(queue.takeDroppedWhenIdle(), 0u);
}

}  // namespace
