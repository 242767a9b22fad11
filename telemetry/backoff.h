// SPDX-License-Identifier: GPL-2.0-or-later
// The pause before each new attempt to reach the MQTT broker: 1 s after the first
// failure or loss, doubling with each further one up to 60 s; a connection that
// lasted a minute starts the count again. A plain value owned by the client's
// connection thread, which hands it the monotonic time in milliseconds.
#pragma once

class Backoff {
 public:
  static constexpr long long kFirstPauseMs = 1000;
  static constexpr long long kLongestPauseMs = 60000;
  static constexpr long long kSteadyConnectionMs = 60000;

  // A connection was made at nowMs.
  void connected(long long nowMs) { connectedAt = nowMs; }

  // The pause before the next attempt, after a failed attempt or a lost
  // connection at nowMs.
  long long next(long long nowMs) {
    if (connectedAt >= 0 && nowMs - connectedAt >= kSteadyConnectionMs) pause = kFirstPauseMs;
    connectedAt = -1;
    long long current = pause;
    pause = pause * 2 < kLongestPauseMs ? pause * 2 : kLongestPauseMs;
    return current;
  }

 private:
  long long pause = kFirstPauseMs;
  long long connectedAt = -1;  // -1 while not connected
};
