// SPDX-License-Identifier: GPL-2.0-or-later
// The network connection service: logs in with up to three consecutive attempts,
// subscribes the current talk group, keeps the connection alive, notices a lost
// server and logs in again, and serves the reconnects the dispatcher hands over.
// Runs on the network thread until done is set or the logins are exhausted (then
// it sets done). It borrows everything in ConnectionParts from the bridge.
#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>

class CUDP;
class LinkWatch;
class ODMRMessageHandler;
class ODMRTP_CLASS;
class ReconnectHandOver;
struct RewindData;

struct ConnectionParts {
  ODMRTP_CLASS* client = nullptr;
  LinkWatch* link = nullptr;
  ODMRMessageHandler* handler = nullptr;  // its call watchdog
  ReconnectHandOver* reconnect = nullptr;
  CUDP* partner = nullptr;  // hears the login events
  std::function<void(RewindData* packet, int length)> processMessage;
  std::atomic<bool>* done = nullptr;
  std::atomic<uint32_t>* talkGroup = nullptr;  // subscribed at each login
  const char* host = nullptr;
  const char* port = nullptr;
  const char* password = nullptr;
  uint32_t startTG = 0;
  uint32_t userID = 0;          // for a reconnect's new session
  const char* appName = nullptr;
};

void serveRewindConnection(const ConnectionParts& parts);
