// SPDX-License-Identifier: GPL-2.0-or-later
#include "network/network_quality.h"

#include <math.h>

void NetworkQuality::packet(uint32_t sequence, bool burst, int64_t arrivalUs) {
  if (burst) ++figures.frames;
  if (!started) {
    restart(sequence);
    arrivedInOrder(sequence, burst, arrivalUs);
    return;
  }
  // The difference as a signed number, so that the counter's wrap is a step of one.
  const int32_t ahead = static_cast<int32_t>(sequence - highest);
  if (ahead > kMaxJump || ahead < -kMaxJump) {
    restart(sequence);
    arrivedInOrder(sequence, burst, arrivalUs);
  } else if (ahead > 0) {
    figures.lost += static_cast<uint32_t>(ahead - 1);
    seen <<= static_cast<size_t>(ahead);
    seen.set(0);
    highest = sequence;
    arrivedInOrder(sequence, burst, arrivalUs);
  } else {
    arrivedBehind(sequence, static_cast<uint32_t>(-ahead), burst);
  }
}

void NetworkQuality::restart(uint32_t sequence) {
  started = true;
  highest = lowest = sequence;
  seen.reset();
  seen.set(0);
  burstSeen = false;
}

void NetworkQuality::arrivedInOrder(uint32_t sequence, bool burst, int64_t arrivalUs) {
  if (!burst) {
    if (burstSeen) ++othersSince;
    return;
  }
  if (burstSeen) {
    // The bursts the numbers say lie between the two, each 60 ms of speech.
    const int64_t steps = static_cast<int64_t>(sequence - lastBurstSequence) - othersSince;
    const int64_t expectedUs = (steps > 1 ? steps : 1) * kCadenceUs;
    const double deviationMs = static_cast<double>(arrivalUs - lastBurstUs - expectedUs) / 1000.0;
    figures.jitterMs += (fabs(deviationMs) - figures.jitterMs) / 16.0;
  }
  burstSeen = true;
  lastBurstSequence = sequence;
  lastBurstUs = arrivalUs;
  othersSince = 0;
}

void NetworkQuality::arrivedBehind(uint32_t sequence, uint32_t behind, bool burst) {
  if (behind < static_cast<uint32_t>(kWindow) && seen.test(behind)) {
    if (burst) ++figures.duplicates;
    return;
  }
  if (burst) ++figures.outOfOrder;
  // Too far behind to tell whether it came before: counted as overtaken only.
  if (behind >= static_cast<uint32_t>(kWindow)) return;
  seen.set(behind);
  if (static_cast<int32_t>(sequence - lowest) < 0) {
    // Before the first number of the count: the numbers in between are missing.
    figures.lost += lowest - sequence - 1;
    lowest = sequence;
  } else if (figures.lost > 0) {
    --figures.lost;  // one counted lost has come after all
  }
}
