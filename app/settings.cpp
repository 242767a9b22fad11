// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/settings.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "network/playout_buffer.h"
#include "support/decimal.h"
#include "telemetry/broker_discovery.h"
#include "telemetry/control_escape.h"
#include "telemetry/log_class.h"

namespace {

enum class Kind { Text, Number };

struct Key {
  const char* name;
  Kind kind;
  size_t offset;
};

#define TEXT_KEY(key, field) \
  { key, Kind::Text, offsetof(Settings_t, field) }
#define NUMBER_KEY(key, field) \
  { key, Kind::Number, offsetof(Settings_t, field) }

// In the order in which they are tried.
const Key kKeys[] = {
    TEXT_KEY("BMAddress", bmAddress),
    TEXT_KEY("BMPort", bmPort),
    TEXT_KEY("BMPassword", bmPassword),
    TEXT_KEY("Address", address),
    NUMBER_KEY("RXPort", rxPort),
    NUMBER_KEY("TXPort", txPort),
    NUMBER_KEY("UserID", userID),
    TEXT_KEY("TalkerAlias", talkerAlias),
    NUMBER_KEY("StartTG", startTG),
    NUMBER_KEY("LogLevel", logLevel),
    TEXT_KEY("BrokerAddress", brokerAddress),
    NUMBER_KEY("BrokerPort", brokerPort),
    TEXT_KEY("BrokerTopic", brokerTopic),
    TEXT_KEY("BrokerClient", brokerClient),
    NUMBER_KEY("BrokerStatus", brokerStatus),
    TEXT_KEY("subscriberFile", subscriberFile),
    TEXT_KEY("StatusAddress", statusAddress),
    NUMBER_KEY("StatusPort", statusPort),
    TEXT_KEY("StaticTGs", staticTGs),
    TEXT_KEY("BMFallback", bmFallback),
    NUMBER_KEY("NetworkJitter", networkJitter),
    TEXT_KEY("StatusHosts", statusHosts),
    TEXT_KEY("BrokerDiscovery", brokerDiscovery),
    TEXT_KEY("Name", name),
};

void replaceText(char** field, const char* value) {
  free(*field);
  *field = value != nullptr ? strdup(value) : nullptr;
}

Settings_t makeDefaults() {
  Settings_t settings{};
  resetSettings(&settings);
  return settings;
}

}  // namespace

Settings_t config = makeDefaults();

void resetSettings(Settings_t* s) {
  replaceText(&s->bmAddress, ZELK_DEFAULT_BM_ADDRESS);
  replaceText(&s->bmPort, ZELK_DEFAULT_BM_PORT);
  replaceText(&s->bmPassword, ZELK_DEFAULT_BM_PASSWORD);
  replaceText(&s->address, "127.0.0.1");
  s->txPort = 36000;
  s->rxPort = 36003;
  replaceText(&s->brokerAddress, nullptr);
  s->brokerPort = 1883;
  replaceText(&s->brokerClient, "trelvane");
  replaceText(&s->brokerTopic, "trelvane/ZELK");
  s->brokerStatus = 0;
  s->userID = ZELK_DEFAULT_USER_ID;
  replaceText(&s->talkerAlias, ZELK_DEFAULT_TALKER_ALIAS);
  s->startTG = 91;
  s->logLevel = 3;
  replaceText(&s->subscriberFile, nullptr);
  replaceText(&s->statusAddress, "127.0.0.1");
  s->statusPort = 0;
  replaceText(&s->staticTGs, nullptr);
  replaceText(&s->bmFallback, nullptr);
  s->networkJitter = 0;
  replaceText(&s->statusHosts, nullptr);
  replaceText(&s->brokerDiscovery, nullptr);
  replaceText(&s->name, nullptr);
  s->brokerClientGiven = false;
}

void freeSettings(Settings_t* s) {
  for (char** field : {&s->bmAddress, &s->bmPort, &s->bmPassword, &s->address, &s->brokerAddress, &s->brokerClient,
                       &s->brokerTopic, &s->talkerAlias, &s->subscriberFile, &s->statusAddress, &s->staticTGs,
                       &s->bmFallback, &s->statusHosts, &s->brokerDiscovery, &s->name}) {
    replaceText(field, nullptr);
  }
}

void applyInstanceName(Settings_t* s, const char* instance) {
  if ((s->name == nullptr || s->name[0] == '\0') && instance != nullptr && instance[0] != '\0') {
    replaceText(&s->name, instance);
  }
  if (s->name == nullptr || s->name[0] == '\0' || s->brokerClientGiven) return;
  replaceText(&s->brokerClient, instanceClientId(s->name).c_str());
}

std::string instanceClientId(const std::string& name) {
  const std::string id = "trelvane-" + BrokerDiscovery::idText(name);
  if (id.size() <= 23) return id;
  uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
  char tail[8];
  snprintf(tail, sizeof(tail), "-%05x", static_cast<unsigned>(hash & 0xFFFFF));
  return id.substr(0, 23 - 6) + tail;
}

BrokerSettings brokerSettings(const Settings_t& s) {
  BrokerSettings broker;
  broker.address = s.brokerAddress;
  broker.port = s.brokerPort;
  broker.client = s.brokerClient;
  broker.topic = s.brokerTopic;
  broker.status = s.brokerStatus == 1;
  return broker;
}

bool validNetworkJitter(uint32_t ms) {
  return ms == 0 || (ms >= static_cast<uint32_t>(PlayoutBuffer::kMinDelayMs) &&
                     ms <= static_cast<uint32_t>(PlayoutBuffer::kMaxDelayMs));
}

int handler(void* user, const char* section, const char* name, const char* value) {
  Settings_t* settings = static_cast<Settings_t*>(user);
  if (strcasecmp(section, "ZELK") != 0) return 1;
  for (const Key& key : kKeys) {
    if (strcasecmp(name, key.name) != 0) continue;
    char* field = reinterpret_cast<char*>(settings) + key.offset;
    if (key.kind == Kind::Text) {
      replaceText(reinterpret_cast<char**>(field), value);
      if (key.offset == offsetof(Settings_t, brokerClient)) settings->brokerClientGiven = true;
    } else {
      *reinterpret_cast<uint32_t*>(field) = static_cast<uint32_t>(parseDecimal(value));
    }
    // The line shows that the password was read, never the password.
    const char* shown = key.offset == offsetof(Settings_t, bmPassword) ? maskedSecret(value) : value;
    logInstance.log(LOG_MESSAGE, "%s, Setting [%s] %s -> %s\n", "DMR", section, name, escapeControls(shown).c_str());
    return 1;
  }
  return 1;
}
