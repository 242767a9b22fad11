// SPDX-License-Identifier: GPL-2.0-or-later
// The meter of network calls fed sequences as a rough road delivers them.
#include "network/network_quality.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Road {
  const char* what;
  std::vector<uint32_t> bursts;  // sequence numbers in arrival order
  uint32_t frames, lost, duplicates, outOfOrder;
};

TEST(NetworkQuality, CountsLossDoublesAndOrderFromTheSequenceNumbers) {
  const Road roads[] = {
      {"in order", {10, 11, 12, 13}, 4, 0, 0, 0},
      {"two lost", {10, 11, 14, 15}, 4, 2, 0, 0},
      {"doubled", {10, 11, 11, 12, 10}, 5, 0, 2, 0},
      {"overtaken", {10, 12, 11, 13}, 4, 0, 0, 1},
      {"first overtaken", {11, 10, 12}, 3, 0, 0, 1},
      {"before the first, one never comes", {12, 10, 13}, 3, 1, 0, 1},
      {"counter wraps", {0xFFFFFFFE, 0xFFFFFFFF, 0, 1}, 4, 0, 0, 0},
      {"jump ahead is a new count", {10, 11, 900, 901}, 4, 0, 0, 0},
      {"jump back is a new count", {900, 901, 10, 11}, 4, 0, 0, 0},
      {"loss before a jump kept", {10, 12, 5000, 5001}, 4, 1, 0, 0},
  };
  for (const Road& road : roads) {
    NetworkQuality meter;
    int64_t at = 0;
    for (uint32_t sequence : road.bursts) meter.packet(sequence, true, at += 60000);
    const CallQuality& q = meter.quality();
    EXPECT_EQ(q.frames, road.frames) << road.what;
    EXPECT_EQ(q.lost, road.lost) << road.what;
    EXPECT_EQ(q.duplicates, road.duplicates) << road.what;
    EXPECT_EQ(q.outOfOrder, road.outOfOrder) << road.what;
  }
}

TEST(NetworkQuality, JitterFollowsTheCadenceOfBurstsAlone) {
  NetworkQuality meter;
  meter.packet(100, false, 0);  // the header
  meter.packet(101, true, 60000);
  meter.packet(102, false, 60100);  // embedded data takes no time of its own
  meter.packet(103, false, 60200);
  meter.packet(104, true, 120000);
  meter.packet(106, true, 240000);  // 105 lost: two turns later, on time
  meter.packet(107, false, 250000);  // a header doubled is no burst doubled
  meter.packet(107, false, 250000);
  EXPECT_DOUBLE_EQ(meter.quality().jitterMs, 0);
  EXPECT_EQ(meter.quality().frames, 3u);
  EXPECT_EQ(meter.quality().lost, 1u);
  EXPECT_EQ(meter.quality().duplicates, 0u);

  meter.packet(108, true, 310000);  // 10 ms late: 1/16 of it
  EXPECT_DOUBLE_EQ(meter.quality().jitterMs, 10.0 / 16);
  meter.countLate();
  meter.countFilled();
  EXPECT_EQ(meter.quality().late, 1u);
  EXPECT_EQ(meter.quality().filled, 1u);
  meter.reset();
  EXPECT_EQ(meter.quality().frames, 0u);
  EXPECT_DOUBLE_EQ(meter.quality().jitterMs, 0);
}

}  // namespace
