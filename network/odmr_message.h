// SPDX-License-Identifier: GPL-2.0-or-later
// The handler of packets from the Rewind server: a network call becomes begin,
// voice and end messages to the local partner; talker alias blocks go to the
// decoder; keep-alives mark the server as alive; every other type is logged by
// name. A call whose terminator was lost still ends: at a header of another call,
// or 1.5 s after its last voice packet. Each call's real-time packets are
// measured (NetworkQuality) without changing what is forwarded, and the figures
// go with the call's end. It borrows the partner's endpoint, the link's timing,
// the alias decoder, the subscriber database (null: none) and the call events,
// which it tells of each call. Network thread only.
#pragma once

#include <stdint.h>

#include "network/network_quality.h"

class CallEvents;
class CUDP;
class LinkWatch;
class Subscriber;
class TalkerAlias;
struct RewindData;

class ODMRMessageHandler {
 public:
  ODMRMessageHandler(CUDP& partner, LinkWatch& link, TalkerAlias& alias, Subscriber* subscribers, CallEvents& events)
      : partner(partner), link(link), alias(alias), subscribers(subscribers), events(events) {}

  // Handles one packet of `length` bytes.
  void process(RewindData* packet, int length);
  // Ends the call in progress when no voice packet came for 1.5 s (the connection
  // service calls it after every wait).
  void endQuietNetworkCall();
  // Milliseconds until the call in progress times out; -1 when there is none.
  int64_t msUntilNetworkCallTimeout() const;

 private:
  // A real-time packet of the call in progress (or of the next one) for the meter.
  void measure(const RewindData* packet, bool burst);
  void voiceHeader(const RewindData* packet, const unsigned char* header);
  void voiceBurst(const unsigned char* burst);
  void embeddedData(const unsigned char* block);
  void beginNetworkCall(const unsigned char* header);
  void endNetworkCall();

  CUDP& partner;
  LinkWatch& link;
  TalkerAlias& alias;
  Subscriber* subscribers;
  CallEvents& events;

  int32_t frameCount = 0;
  int32_t taCount = 0;
  bool callIdentified = false;  // the call in progress began with a header: these are its fields
  uint32_t callSource = 0, callDestination = 0;
  unsigned char callKind = 0;
  int64_t lastVoicePacket = 0;  // monotonic milliseconds of the call's latest voice packet
  NetworkQuality quality;       // of the call in progress, from its first packet
};
