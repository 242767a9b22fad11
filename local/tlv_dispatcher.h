// SPDX-License-Identifier: GPL-2.0-or-later
// The local-to-network dispatcher: takes the partner's TLV messages in order and
// turns each into action on the network side (a local call with its talker alias,
// talk-group changes, reconnects, a new alias) and log lines for everything else.
// It reaches the network side only through the callbacks of DispatcherNetwork,
// which the bridge fills in, and tells the call events (borrowed) of each call,
// its end with the partner's cadence as measured on the clock given. One thread (the dispatcher's) drives it; handle takes
// no ownership of the message.
#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "base/clock.h"
#include "base/queue.h"
#include "local/partner_cadence.h"

class CallEvents;
class CUDP;
class TLV_CLASS;

// What the dispatcher asks of the network side. Every callback is set.
struct DispatcherNetwork {
  std::function<void(int source, int destination, int callType)> beginTransmission;
  std::function<void(unsigned char* frames)> transmitAudio;  // three 9-byte frames
  std::function<void()> endTransmission;
  // The talk group becomes the current one and is subscribed.
  std::function<void(uint32_t talkGroup)> subscribe;
  // Logs in to another server; 0 on success, else the login's error code.
  std::function<int(const char* host, const char* port, const char* password, unsigned int talkGroup)> reconnect;
  // Encodes the alias template with %callsign replaced and, when a name is given,
  // %name too.
  std::function<void(const std::string& callsign, const std::string* name)> encodeCallAlias;
  std::function<void(const char* text)> encodeAlias;  // a new alias as it is
  std::function<void()> sendAlias;                    // the encoded alias, with the call
};

class TlvDispatcher {
 public:
  // The partner hears the reconnect's result as an event.
  TlvDispatcher(CUDP& partner, DispatcherNetwork network, CallEvents& events, Clock clock = Clock())
      : partner(partner), network(std::move(network)), events(events), clock(clock) {}

  // Pops and handles messages until done is set; a null message wakes it to stop.
  void run(Queue<std::unique_ptr<TLV_CLASS>>& queue, const std::atomic<bool>& done);
  // Handles one message.
  void handle(TLV_CLASS* message);

 private:
  void beginLocalTransmission(const unsigned char* value, unsigned int length);
  void setInfo(const unsigned char* value, unsigned int length);
  void remoteCommand(char* text);

  CUDP& partner;
  DispatcherNetwork network;
  CallEvents& events;
  Clock clock;
  PartnerCadence cadence;  // of the local call in progress
  int32_t txFrameCount = 0;
  int32_t callType = 0;  // 0 group, 3 private
};
