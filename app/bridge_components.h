// SPDX-License-Identifier: GPL-2.0-or-later
// The parts of a bridge and their wiring, without threads: the TLV queue, the
// talker alias, the subscriber database, the local endpoint, the Rewind client,
// the link timing, the reconnect hand-over, the network message handler and the
// dispatcher, and the call events that tell the status board and the notifier of
// each call. The bridge owns one; tests, fuzzers and benchmarks build one to
// drive the handler and the dispatcher directly. The settings, the done flag,
// the board and the notifier are borrowed and outlive it. The parts' own headers say which thread uses what.
#pragma once

#include <atomic>
#include <memory>

#include "base/clock.h"
#include "base/queue.h"
#include "local/tlv_dispatcher.h"
#include "network/link_watch.h"
#include "network/odmr_message.h"
#include "network/reconnect_handover.h"
#include "network/talker_alias.h"
#include "telemetry/call_events.h"

struct Settings_t;
class CUDP;
class ODMRTP_CLASS;
class StatusBoard;
class Subscriber;
class SystemdNotifier;
class TLV_CLASS;

class BridgeComponents {
 public:
  // Every timed part reads the one clock given (the system's by default; a test
  // hands in a ManualTime it moves).
  BridgeComponents(Settings_t* settings, const std::atomic<bool>& done, StatusBoard& board, SystemdNotifier& notifier,
                   Clock clock = Clock());
  ~BridgeComponents();  // where the parts' types are complete
  BridgeComponents(const BridgeComponents&) = delete;
  BridgeComponents& operator=(const BridgeComponents&) = delete;

  // The dispatcher's way to the Rewind client, the alias and the hand-over.
  DispatcherNetwork dispatcherNetwork();

  Settings_t* settings;
  StatusBoard& board;
  SystemdNotifier& notifier;
  CallEvents events;
  std::atomic<uint32_t> currentTG{0};
  TalkerAlias alias;
  std::unique_ptr<Subscriber> subscribers;  // null without a subscriber file
  std::unique_ptr<CUDP> localLink;
  std::unique_ptr<ODMRTP_CLASS> rewindClient;
  LinkWatch link;  // network thread only
  ReconnectHandOver reconnect;
  Queue<std::unique_ptr<TLV_CLASS>> tlvQueue;  // messages the dispatcher never took go with it
  ODMRMessageHandler handler;  // network thread only
  TlvDispatcher dispatcher;    // dispatcher thread only
};
