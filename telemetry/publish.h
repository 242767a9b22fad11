// SPDX-License-Identifier: GPL-2.0-or-later
// One command for the MQTT connection thread: publish a message on a topic,
// subscribe to a topic (no message) or send a ping (no topic); a publication may
// ask the broker to retain it as the topic's current value. The entry owns
// private copies of its texts; whoever queues it hands it over with it, and the
// connection thread destroys it once it has acted on it.
#pragma once

#include <memory>

// MQTT delivery levels.
enum QoS : unsigned char {
  QOS0 = 0,  // at most once: no acknowledgement
  QOS1 = 1,  // at least once: the broker answers with PUBACK
  QOS2 = 2,  // exactly once: only the PUBLISH is sent, the rest of the exchange is not carried out
};

class Publish {
 public:
  // Copies topic and message; a null pointer stays null (it selects the command).
  Publish(const char* topic, const char* message, QoS qos, bool retain = false);
  Publish(const Publish&) = delete;
  Publish& operator=(const Publish&) = delete;

  const char* getTopic() const { return topic.get(); }
  const char* getMessage() const { return message.get(); }
  QoS getQos() const { return qos; }
  bool getRetain() const { return retain; }

 private:
  std::unique_ptr<char[]> topic;
  std::unique_ptr<char[]> message;
  QoS qos;
  bool retain;
};
