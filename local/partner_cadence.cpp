// SPDX-License-Identifier: GPL-2.0-or-later
#include "local/partner_cadence.h"

#include <math.h>

void PartnerCadence::voice(int64_t arrivalUs) {
  ++figures.frames;
  if (lastUs >= 0) {
    const int64_t gapUs = arrivalUs - lastUs;
    if (gapUs > kGapUs) ++figures.gaps;
    const double deviationMs = static_cast<double>(gapUs - kCadenceUs) / 1000.0;
    figures.jitterMs += (fabs(deviationMs) - figures.jitterMs) / 16.0;
  }
  lastUs = arrivalUs;
}
