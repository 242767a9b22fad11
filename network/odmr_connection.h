// SPDX-License-Identifier: GPL-2.0-or-later
// The network connection service: logs in with up to three consecutive attempts
// on the home server, then on each fallback server in turn, subscribes the
// current talk group (and the static ones), keeps the connection alive, notices a
// lost server and logs in again from the home server, and serves the reconnects
// the dispatcher hands over.
// Runs on the network thread until done is set or the logins are exhausted (then
// it sets done). It borrows everything in ConnectionParts from the bridge.
#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

class CUDP;
class LinkWatch;
class ODMRMessageHandler;
class ODMRTP_CLASS;
class ReconnectHandOver;
class StatusBoard;
class SystemdNotifier;
struct RewindData;

// A server to log in to; the password and the ID are the same for every one.
struct RewindServer {
  std::string host;
  std::string port;
};

struct ConnectionParts {
  ODMRTP_CLASS* client = nullptr;
  LinkWatch* link = nullptr;
  ODMRMessageHandler* handler = nullptr;  // its call watchdog
  ReconnectHandOver* reconnect = nullptr;
  CUDP* partner = nullptr;  // hears the login events
  StatusBoard* board = nullptr;         // shows the link, the logins and the talk group
  SystemdNotifier* notifier = nullptr;  // likewise; the watchdog is pinged here
  std::function<void(RewindData* packet, int length)> processMessage;
  std::atomic<bool>* done = nullptr;
  std::atomic<uint32_t>* talkGroup = nullptr;  // subscribed at each login
  const char* host = nullptr;
  const char* port = nullptr;
  const char* password = nullptr;
  std::vector<RewindServer> fallbacks;  // tried in turn when the home server (host, port) fails
  uint32_t startTG = 0;
  uint32_t userID = 0;          // for a reconnect's new session
  const char* appName = nullptr;
};

void serveRewindConnection(const ConnectionParts& parts);
