// SPDX-License-Identifier: GPL-2.0-or-later
// Broker attachment: at start-up, connects the one MQTT client when a broker is
// configured and hands it to the logger, which then publishes every emitted line
// on the configured topic (fatal lines on "trelvane/error" as well). Start-up
// code on the main thread, before the worker threads exist.
#pragma once

class MQTT;
class StatusBoard;
class SystemdNotifier;

// What the attachment reads of the configuration; the texts are borrowed and must
// outlive the process's use of the broker.
struct BrokerSettings {
  const char* address = nullptr;  // null or empty: no broker
  unsigned int port = 0;
  const char* client = nullptr;  // MQTT client identifier; null means empty
  const char* topic = nullptr;   // topic of the log lines
  bool status = false;           // availability on <topic>/availability (see setBroker)
  // Told of the connection's state (and the board of the log lines dropped);
  // borrowed for the life of the process. Null: not told.
  StatusBoard* board = nullptr;
  SystemdNotifier* notifier = nullptr;
};

// The daemon's one MQTT client: null until setBroker creates it, then kept (and
// never destroyed) for the life of the process.
extern MQTT* broker;

// Topic of the subscription made at attachment; its publications are printed.
extern const char* const kBrokerDebugTopic;
// Second topic of every fatal line.
extern const char* const kBrokerErrorTopic;

// Does nothing when no broker address is configured. Otherwise connects the client
// (on failure logs "MQTT broker failed to initialize"; the client then keeps
// trying in the background), subscribes to kBrokerDebugTopic and attaches the
// client to logInstance. The client's losses and reconnections are logged.
// With status on, every connection leaves the retained Will "offline" on
// <topic>/availability and publishes a retained "online" there once made.
void setBroker(const BrokerSettings& settings);
