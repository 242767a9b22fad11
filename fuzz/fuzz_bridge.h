// SPDX-License-Identifier: GPL-2.0-or-later
// The loopback stand-ins for the fuzz targets that drive the daemon's handlers:
// a Rewind client logged in to a server that is only a sink, and one bridge's
// components with the real local link receiver on a thread of its own. The partner
// and the server are sinks, so whatever the handlers send goes somewhere harmless;
// a stand-in for the network thread answers the reconnects that remote commands
// ask for (alternately success and failure, without resolving the fuzzed host).
// Built once per process, never destroyed; driven from one thread at a time.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <memory>

#include "base/wake_pipe.h"
#include "fuzz/fuzz_support.h"
#include "telemetry/status_board.h"
#include "telemetry/systemd_notifier.h"

class BridgeComponents;
class ODMRMessageHandler;
class ODMRTP_CLASS;
class TlvDispatcher;
class TLV_CLASS;
struct RewindData;

namespace fuzzing {

// Logs the client in to the sink: a helper thread answers the first datagram
// with a subscription confirmation. The client's address is returned too. False
// when the exchange failed.
bool logInToSink(ODMRTP_CLASS& client, LoopbackSink& server, struct sockaddr_storage* clientAddress,
                 socklen_t* clientLength);

class FuzzBridge {
 public:
  static FuzzBridge& get();

  // Forgets what earlier inputs left: a new handler and dispatcher (both
  // directions' call counters, the call type) and the start talk group.
  void resetCallState();
  // Sends the datagrams from the partner's address to the bridge's local port,
  // where the receiver thread checks and queues them, and dispatches every message
  // it queued, in order, as the dispatcher thread would. Returns when the last
  // datagram has been through the receiver (a marker datagram follows them).
  // False when the receiver queued a message that was not one of the datagrams,
  // or not in their order.
  bool receiveAndDispatch(const std::vector<Record>& datagrams);
  void processODMRMessage(RewindData* packet, int length);
  // Discards what the handlers sent to the sinks.
  void drainSinks();
  // What the handlers sent to the partner since the last drain, as far as the
  // sink kept it.
  std::vector<std::vector<uint8_t>> sentToPartner();

 private:
  FuzzBridge();
  void answerReconnects();
  bool isMarker(const TLV_CLASS& message) const;

  // The marker that ends a batch: a TAG_NOP message with random bytes and the
  // batch number, which an input cannot know in advance.
  uint8_t markerBytes[16] = {};
  uint64_t batch = 0;
  int localPort = 0;

  LoopbackSink partner;
  LoopbackSink server;
  std::atomic<bool> done{false};
  WakePipe stop;  // never poked: the receiver runs until the process ends
  StatusBoard board;
  SystemdNotifier notifier;
  BridgeComponents* bridge = nullptr;
  std::unique_ptr<TlvDispatcher> dispatcher;
  std::unique_ptr<ODMRMessageHandler> handler;
};

}  // namespace fuzzing
