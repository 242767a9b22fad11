// SPDX-License-Identifier: GPL-2.0-or-later
// A stand-in for the local partner process: one UDP socket on loopback that
// receives the daemon's TLV messages on a background thread and sends TLV
// messages (calls, remote commands, raw datagrams) to the daemon's port. All
// operations are safe from any thread; received datagrams are kept in arrival
// order until clear() is called.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/unique_fd.h"

using Datagram = std::vector<uint8_t>;

class PartnerLink {
 public:
  PartnerLink() = default;
  ~PartnerLink();
  PartnerLink(const PartnerLink&) = delete;
  PartnerLink& operator=(const PartnerLink&) = delete;

  // Binds listenPort (0 picks a free port) on the loopback address of the
  // daemon's family (127.0.0.1 or ::1) and aims at the daemon.
  bool open(int listenPort, const std::string& daemonHost, int daemonPort);
  int port() const { return boundPort; }
  // Where it listens, as "127.0.0.1:36000" or "[::1]:36000".
  const std::string& listening() const { return listenText; }
  void close();

  bool send(const Datagram& datagram);

  // Message builders (the wire format: tag, length, value).
  static Datagram beginTx(uint32_t source, uint32_t destination, const std::string& metadata = "",
                          uint32_t repeater = 0, uint8_t slot = 1, uint8_t colourCode = 1);
  static Datagram voice(const uint8_t frames[27]);
  static Datagram voice(uint32_t sequence);  // three frames numbered from sequence
  static Datagram endTx();
  static Datagram remoteCommand(const std::string& text, bool withZero = true);

  // Sends begin, count voice messages and end, pacing voice by paceMs (0: at once).
  void sendCall(uint32_t source, uint32_t destination, int count, int paceMs, const std::string& metadata = "",
                uint32_t firstSequence = 0);

  std::vector<Datagram> received();
  void clear();
  // Waits (bounded) until the predicate holds for the received datagrams.
  bool waitUntil(const std::function<bool(const std::vector<Datagram>&)>& predicate, int timeoutMs);
  bool waitForCount(uint8_t tag, size_t count, int timeoutMs);
  static size_t countTag(const std::vector<Datagram>& datagrams, uint8_t tag);

  // One line of readable text for a datagram from the daemon.
  static std::string describe(const Datagram& datagram);
  // Called on the receiving thread for each datagram (set before open).
  void onReceive(std::function<void(const Datagram&)> callback) { receiveCallback = std::move(callback); }

 private:
  void receiveLoop();

  UniqueFd sock;
  UniquePipe wakePipe;
  int boundPort = 0;
  std::string listenText;
  std::thread receiver;
  Mutex mutex;
  CondVar arrived;
  std::vector<Datagram> datagrams GUARDED_BY(mutex);
  std::function<void(const Datagram&)> receiveCallback;
};
