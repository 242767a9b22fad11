// SPDX-License-Identifier: GPL-2.0-or-later
// The cadence of one local call as the partner sends it: its voice messages,
// the pauses of over 90 ms between two of them, and the interarrival jitter
// (the RFC 3550 estimator) of their gaps against the 60 ms of speech each one
// carries. A plain value: nothing allocates or locks; dispatcher thread only.
#pragma once

#include <stdint.h>

#include "base/call_quality.h"

class PartnerCadence {
 public:
  static constexpr int64_t kCadenceUs = 60000;
  static constexpr int64_t kGapUs = 90000;

  // One voice message handled at arrivalUs, monotonic time.
  void voice(int64_t arrivalUs);
  const CallQuality& quality() const { return figures; }
  // A new call: everything from zero.
  void reset() { *this = PartnerCadence(); }

 private:
  CallQuality figures;
  int64_t lastUs = -1;  // the latest voice message; -1 before the first
};
