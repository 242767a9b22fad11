// SPDX-License-Identifier: GPL-2.0-or-later
// The handler of packets from the Rewind server: a network call becomes begin,
// voice and end messages to the local partner; talker alias blocks go to the
// decoder; keep-alives mark the server as alive; every other type is logged by
// name. A call whose terminator was lost still ends: at a header of another call,
// or 1.5 s after its last voice packet. Each call's real-time packets are
// measured (NetworkQuality) as they arrive, and the figures go with the call's
// end. With a playout delay it owns a PlayoutBuffer: the real-time packets wait
// there and are handled in sequence order at their turn (playDue); without one
// every packet is handled as it arrives, and measuring it changes nothing that is
// forwarded. It borrows the partner's endpoint, the link's timing, the alias
// decoder, the subscriber database (null: none) and the call events, which it
// tells of each call. Network thread only.
#pragma once

#include <stdint.h>

#include <memory>

#include "network/network_quality.h"
#include "network/playout_buffer.h"

class CallEvents;
class CUDP;
class LinkWatch;
class Subscriber;
class TalkerAlias;
struct RewindData;

class ODMRMessageHandler {
 public:
  // playoutMs: 0 hands every packet on as it arrives; 20 to 2000 holds the
  // real-time ones that long in a playout buffer.
  ODMRMessageHandler(CUDP& partner, LinkWatch& link, TalkerAlias& alias, Subscriber* subscribers, CallEvents& events,
                     int playoutMs = 0);

  // Handles one packet of `length` bytes, or holds it for its turn.
  void process(RewindData* packet, int length);
  // Handles what the playout buffer has due (the connection service calls it after
  // every wait).
  void playDue();
  // Milliseconds until the playout buffer has something due; -1 when it waits for
  // nothing (or there is none).
  int64_t msUntilPlayoutDue() const;
  // Ends the call in progress when no voice packet came for 1.5 s and none waits
  // for its turn (the connection service calls it after every wait).
  void endQuietNetworkCall();
  // Milliseconds until the call in progress times out; -1 when there is none.
  int64_t msUntilNetworkCallTimeout() const;
 private:
  void handle(const RewindData* packet);
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
  std::unique_ptr<PlayoutBuffer> playout;  // null: no playout delay

  int32_t frameCount = 0;
  int32_t taCount = 0;
  bool callIdentified = false;  // the call in progress began with a header: these are its fields
  uint32_t callSource = 0, callDestination = 0;
  unsigned char callKind = 0;
  int64_t lastVoicePacket = 0;  // monotonic milliseconds of the call's latest voice packet
  NetworkQuality quality;       // of the call in progress, from its first packet
};
