// SPDX-License-Identifier: GPL-2.0-or-later
// The status page's IPv6 listener. Debian's CivetWeb is built without IPv6, so
// for an IPv6 StatusAddress the page's server listens on 127.0.0.1 at a port of
// the system's choice, and the relay listens on the IPv6 address (:: takes IPv4
// clients too, like any dual-stack socket) and carries each connection's bytes
// both ways unchanged, request headers included. One thread at normal priority;
// at most kMaxConnections connections at once (one more is closed at once), and
// one that moves nothing either way for kIdleMs is closed. Owned by the status
// server; start and the destructor run on its owner's thread.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <string>

#include "base/clock.h"
#include "base/host_address.h"
#include "base/unique_fd.h"
#include "base/wake_pipe.h"

class StatusRelay {
 public:
  static constexpr int kMaxConnections = 16;
  static constexpr int kIdleMs = 10000;

  explicit StatusRelay(Clock clock = Clock()) : clock(clock) {}
  ~StatusRelay();
  StatusRelay(const StatusRelay&) = delete;
  StatusRelay& operator=(const StatusRelay&) = delete;

  // Listens on the IPv6 address (its port included); then start relays what
  // comes to 127.0.0.1 at the target port. Each is false, with the reason in
  // *why, when it cannot.
  bool listen(const HostAddress& address, std::string* why);
  bool start(uint16_t targetPort, std::string* why);

 private:
  struct Connection;
  static void* serve(void* object);
  void _serve();

  const Clock clock;
  UniqueFd listener;
  uint16_t target = 0;
  WakePipe stop;
  pthread_t thread{};
  bool running = false;
};
