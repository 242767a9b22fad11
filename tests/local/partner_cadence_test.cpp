// SPDX-License-Identifier: GPL-2.0-or-later
#include "local/partner_cadence.h"

#include <gtest/gtest.h>

namespace {

TEST(PartnerCadence, CountsVoiceGapsOverNinetyMsAndTheJitterOfTheCadence) {
  PartnerCadence cadence;
  for (int64_t at : {0, 60000, 120000, 180000}) cadence.voice(at);
  EXPECT_EQ(cadence.quality().frames, 4u);
  EXPECT_DOUBLE_EQ(cadence.quality().jitterMs, 0);
  cadence.voice(270000);  // 90 ms is no gap yet
  cadence.voice(370000);
  EXPECT_EQ(cadence.quality().gaps, 1u);
  EXPECT_DOUBLE_EQ(cadence.quality().jitterMs, 30.0 / 16 + (40 - 30.0 / 16) / 16);
  cadence.reset();
  EXPECT_EQ(cadence.quality().frames, 0u);
}

}  // namespace
