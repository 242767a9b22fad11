// SPDX-License-Identifier: GPL-2.0-or-later
// A real MQTT client for tests, written independently of the daemon's: it
// connects to a broker (MQTT 3.1.1, no keep-alive), subscribes and publishes at
// QoS 0, and collects the publications the broker delivers. It reads only while a
// test waits in waitForMessages, always within the time given.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

struct MqttMessage {
  std::string topic;
  std::string payload;
};

class MqttProbe {
 public:
  MqttProbe() = default;
  ~MqttProbe();
  MqttProbe(const MqttProbe&) = delete;
  MqttProbe& operator=(const MqttProbe&) = delete;

  // CONNECT and wait for a successful CONNACK.
  bool connect(int port, const std::string& clientId);
  // SUBSCRIBE (QoS 0) and wait for the SUBACK: later publications reach us.
  bool subscribe(const std::string& topicFilter);
  bool publish(const std::string& topic, const std::string& payload);
  // Waits until at least count publications have arrived in all, or the time-out
  // passes; returns every publication received so far.
  const std::vector<MqttMessage>& waitForMessages(size_t count, int timeoutMs);
  // Publications so far on one topic.
  std::vector<std::string> payloads(const std::string& topic) const;

 private:
  bool readPacket(int timeoutMs, int* type);
  bool sendAll(const std::string& data);

  int fd = -1;
  std::string pending;  // received bytes not yet parsed
  std::vector<MqttMessage> received;
  int nextId = 1;
};

}  // namespace testing_support
