// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/broker.h"

#include <string>

#include "telemetry/log_class.h"
#include "telemetry/mqtt.h"
#include "telemetry/publish.h"
#include "telemetry/status_board.h"
#include "telemetry/systemd_notifier.h"

MQTT* broker = nullptr;
const char* const kBrokerDebugTopic = "trelvane/debug";
const char* const kBrokerErrorTopic = "trelvane/error";

namespace {

// Whether the broker is connected, for those who show it.
void tellConnected(const BrokerSettings& settings, bool connected) {
  if (settings.notifier != nullptr) settings.notifier->setBroker(connected);
  if (settings.board != nullptr) settings.board->setBroker(connected ? StatusBroker::Connected : StatusBroker::Reconnecting);
}

// The client's reports of its connection, as log lines. They come on the
// client's connection thread while it holds none of its locks, so the lines
// are forwarded like any other; each is logged once per event, never per
// failed publication, so they cannot feed on themselves.
void logLinkEvent(const BrokerSettings& settings, MQTT::LinkEvent event, unsigned long count) {
  switch (event) {
    case MQTT::LinkEvent::Lost:
      logInstance.log(LOG_WARNING, "MQTT broker connection lost, reconnecting in the background\n");
      tellConnected(settings, false);
      break;
    case MQTT::LinkEvent::Connected:
      logInstance.log(LOG_INFO, "MQTT broker reconnected\n");
      tellConnected(settings, true);
      break;
    case MQTT::LinkEvent::Dropped:
      logInstance.log(LOG_WARNING, "MQTT broker away or slow: %lu log lines dropped\n", count);
      if (settings.board != nullptr) settings.board->droppedLogLines(count);
      break;
  }
}

}  // namespace

void setBroker(const BrokerSettings& settings) {
  if (settings.address == nullptr || settings.address[0] == '\0') return;
  if (settings.topic == nullptr) return;  // cannot happen with the built-in default

  // Called once by the daemon; a repeated call reconnects the same client, with
  // the logger detached meanwhile so that no line waits for a client that failed.
  logInstance.setBroker(nullptr, nullptr);
  if (broker == nullptr) broker = new MQTT();
  broker->setLinkObserver(
      [settings](MQTT::LinkEvent event, unsigned long count) { logLinkEvent(settings, event, count); });
  const char* clientId = settings.client != nullptr ? settings.client : "";
  if (settings.status) {
    std::string availability = std::string(settings.topic) + "/availability";
    broker->setWill(MqttWill{availability, "offline", true});
    broker->publishState(availability.c_str(), "online");
  }
  if (broker->connect(clientId, settings.address, settings.port) == 0) {
    logInstance.log(LOG_ERROR, "MQTT broker failed to initialize\n");
    tellConnected(settings, false);
  } else {
    tellConnected(settings, true);
  }
  // After a failed connect the client goes on trying in the background: lines
  // queue (within the client's bound) until it gets through. It does not run
  // only when no attempt can succeed.
  if (broker->subscribe(kBrokerDebugTopic, QOS0) == 0) return;
  logInstance.setBroker(broker, settings.topic);
}
