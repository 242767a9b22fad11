// SPDX-License-Identifier: GPL-2.0-or-later
// Timing of the connection service while it is connected: when a keep-alive is due
// and when the server counts as lost. It reads only the monotonic time of the
// clock it is given (the system's unless a test hands it a ManualTime), so a
// stepped wall clock neither hides a lost server nor fakes one.
// Only datagrams that passed the client's source and magic checks are reported to
// it: strangers cannot postpone the lost-server test or the keep-alives.
// Network thread only.
#pragma once

#include <cstdint>

#include "base/clock.h"

class LinkWatch {
 public:
  static constexpr int64_t kQuietMs = 5000;     // a wait with nothing from the server
  static constexpr int kLostAfterSeconds = 30;  // since the server's last keep-alive
  static constexpr long kKeepAliveEvery = 83;   // server datagrams per keep-alive under traffic

  enum class Due { Nothing, KeepAlive, Lost };

  explicit LinkWatch(Clock clock = Clock()) : clock(clock) {}
  void setClock(Clock source) { clock = source; }
  // Monotonic milliseconds of the link's clock.
  int64_t now() const { return clock.monotonicMs(); }
  int64_t nowUs() const { return clock.monotonicUs(); }

  // A login succeeded: it counts as the last ping, datagrams count from 0 again.
  void loggedIn();
  // A datagram from the server arrived; true when a keep-alive goes out with it
  // (the 1st, 84th, 167th, ... of the connection).
  bool serverDatagram();
  // The server answered a keep-alive.
  void serverKeepAlive();
  // How long the next wait may last: until the current quiet period ends.
  int64_t msUntilQuietEnd() const;
  // At the end of a quiet period: Lost when more than 30 whole seconds passed since
  // the last ping (*elapsedSeconds tells how many), else KeepAlive and a new quiet
  // period begins. Before its end: Nothing.
  Due check(int* elapsedSeconds);

  int64_t lastPingTime() const { return lastPing; }

 private:
  Clock clock;
  int64_t lastPing = 0;
  int64_t quietEnd = 0;
  long received = 0;
};
