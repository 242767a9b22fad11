// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's status on the MQTT broker, for home-automation systems: a
// retained JSON state on <topic>/status (the link, the talk group and the last
// call each way), published whenever it changes and again by the client after
// every reconnection, and one JSON message per call start and end on
// <topic>/call. The texts are rendered by StatusPage, so they carry the names
// of /status.json; with counters asked for (what discovery reads), the state
// carries the calls counted each way as well. The board's listener calls changed on a voice thread: it
// only renders and queues (the client never waits for the network), and is
// safe from any thread. The client and the board are borrowed and outlive it.
#pragma once

#include <string>

#include "base/mutex.h"
#include "telemetry/status_board.h"

class MQTT;

class StatusPublisher {
 public:
  StatusPublisher(MQTT& client, const StatusBoard& board, const std::string& baseTopic, bool counters = false);
  StatusPublisher(const StatusPublisher&) = delete;
  StatusPublisher& operator=(const StatusPublisher&) = delete;

  // The board's listener. A change of link, server or talk group, and each call's
  // start and end, publish the state when it differs from the last one published;
  // a call's start and end also publish the call.
  void changed(StatusChange change, const StatusSnapshot& snapshot, const StatusCall* call) EXCLUDES(mutex);
  // Publishes the state as the board holds it now (at start-up).
  void publishState() EXCLUDES(mutex);

  // The texts, from a copy of the board: the state (with counters, also the
  // calls each way), and a call's message (ended false at its start, true at its end).
  static std::string stateJson(const StatusSnapshot& snapshot, bool counters = false);
  static std::string callJson(const StatusSnapshot& snapshot, const StatusCall& call, bool ended);

 private:
  MQTT& client;
  const StatusBoard& board;
  const std::string stateTopic;
  const std::string callTopic;
  const bool counters;
  // Held across taking the board's copy and queuing it, so that the state the
  // broker keeps is the newest even when both voice threads report at once.
  Mutex mutex;
  std::string lastState GUARDED_BY(mutex);
};
