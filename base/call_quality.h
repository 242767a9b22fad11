// SPDX-License-Identifier: GPL-2.0-or-later
// The quality of one call's voice as it arrived, in plain figures. The network
// thread counts a call from the server (sequence numbers, arrival times, the
// playout buffer's late and filled turns); the dispatcher counts a call from the
// partner (its cadence). A copy goes to the status board; nothing here locks.
#pragma once

#include <stdint.h>

struct CallQuality {
  uint32_t frames = 0;      // voice bursts received, doubles included
  uint32_t lost = 0;        // bursts the sequence numbers say never came
  uint32_t duplicates = 0;  // bursts received a second time or more
  uint32_t outOfOrder = 0;  // bursts that came after a later one
  uint32_t late = 0;        // bursts that came after their turn to play had passed
  uint32_t filled = 0;      // turns played as silence because their burst was missing
  uint32_t gaps = 0;        // pauses of over 90 ms between voice messages
  double jitterMs = 0;      // interarrival jitter (RFC 3550) against the 60 ms cadence

  // Lost bursts as a share of those the call should have held.
  double lossPercent() const {
    const uint64_t expected = static_cast<uint64_t>(frames) - duplicates + lost;
    return expected == 0 ? 0.0 : 100.0 * lost / static_cast<double>(expected);
  }
};
