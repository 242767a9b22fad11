// SPDX-License-Identifier: GPL-2.0-or-later
// The quality of one network call as it arrives, read from the sequence numbers
// and arrival times of the server's real-time packets. All voice packets of a
// call (headers, bursts, embedded data, terminator) are numbered from one
// counter, so a number that never comes is a packet lost, one that comes again
// is a double, and one below the highest so far was overtaken. Only the voice
// bursts count as frames, doubles and packets out of order; the numbers lost are
// taken as lost bursts, as nearly every packet of a call is one. A jump of more
// than kMaxJump either way (the server began a new counter) starts a new count
// instead of reporting thousands lost; the figures so far are kept.
// The interarrival jitter is the RFC 3550 estimator over the bursts that arrive
// in order, against the 60 ms cadence: the packets between two bursts that are
// not bursts take no time of their own. The playout buffer adds its late and
// filled turns. A plain value: nothing allocates or locks; network thread only.
#pragma once

#include <stdint.h>

#include <bitset>

#include "base/call_quality.h"

class NetworkQuality {
 public:
  static constexpr int32_t kMaxJump = 500;      // sequence numbers, either way
  static constexpr int64_t kCadenceUs = 60000;  // one burst of three AMBE frames
  static constexpr int kWindow = 128;           // numbers below the highest still told apart

  // One real-time packet of the call; arrivalUs is monotonic time.
  void packet(uint32_t sequence, bool burst, int64_t arrivalUs);
  // A burst that came after its turn to play had passed; a turn played as silence.
  void countLate() { ++figures.late; }
  void countFilled() { ++figures.filled; }
  // What was measured since the call began.
  const CallQuality& quality() const { return figures; }
  // A new call: everything from zero.
  void reset() { *this = NetworkQuality(); }

 private:
  void restart(uint32_t sequence);
  void arrivedInOrder(uint32_t sequence, bool burst, int64_t arrivalUs);
  void arrivedBehind(uint32_t sequence, uint32_t behind, bool burst);

  CallQuality figures;
  bool started = false;
  uint32_t highest = 0;  // of the current count
  uint32_t lowest = 0;
  std::bitset<kWindow> seen;  // bit i: the number highest - i came
  // The latest burst that came in order, for the jitter.
  bool burstSeen = false;
  uint32_t lastBurstSequence = 0;
  int64_t lastBurstUs = 0;
  uint32_t othersSince = 0;  // packets in order since that burst that were not bursts
};
