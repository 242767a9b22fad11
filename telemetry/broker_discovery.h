// SPDX-License-Identifier: GPL-2.0-or-later
// Home Assistant's MQTT discovery: the retained config messages that make the
// daemon appear there as one device with its entities (the link as a
// connectivity binary_sensor, the talk group, the last caller and the direction
// of the last call, the calls each way as counters). Every entity reads the
// retained <BrokerTopic>/status through a value template and shares
// <BrokerTopic>/availability, so Home Assistant greys them out when the Will
// fires. Plain functions of their settings, safe from any thread.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct DiscoverySettings {
  std::string prefix;     // the discovery prefix, usually "homeassistant"
  std::string baseTopic;  // BrokerTopic: the status and availability live below it
  uint32_t userID = 0;
  std::string name;     // the instance's name, may be empty
  std::string pageUrl;  // the status page, or empty when it is off
  std::string version;
};

struct DiscoveryConfig {
  std::string topic;    // <prefix>/<component>/<node>/<object>/config
  std::string payload;  // JSON
};

class BrokerDiscovery {
 public:
  static std::vector<DiscoveryConfig> configs(const DiscoverySettings& settings);
  // "zelk_<UserID>", or "zelk_<UserID>_<name>" for a named instance.
  static std::string nodeId(uint32_t userID, const std::string& name);
  // The text with every byte but ASCII letters, digits, '_' and '-' made '_'.
  static std::string idText(const std::string& text);
  // Whether a prefix can stand in a topic: not empty, no wildcard, no empty
  // level, no control byte; false with why.
  static bool validPrefix(const std::string& prefix, std::string* why);
};
