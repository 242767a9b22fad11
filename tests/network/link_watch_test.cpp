// SPDX-License-Identifier: GPL-2.0-or-later
// The connection service's timing on a substituted clock: the 30-second test
// without waiting.
#include "network/link_watch.h"

#include <gtest/gtest.h>

namespace {

using Due = LinkWatch::Due;

TEST(LinkWatch, SilentServerIsLostAtTheFirstQuietEndPastThirtySeconds) {
  ManualTime time;
  time.setMonotonicMs(1000000);
  LinkWatch watch{Clock(&time)};
  watch.loggedIn();
  EXPECT_EQ(watch.msUntilQuietEnd(), 5000);
  int elapsed = -1;
  time.advanceMs(4999);
  EXPECT_EQ(watch.check(&elapsed), Due::Nothing);
  // The server answers the first keep-alive 2.5 s into the connection, then falls silent.
  time.setMonotonicMs(1002500);
  watch.serverDatagram();
  watch.serverKeepAlive();
  EXPECT_EQ(watch.msUntilQuietEnd(), 5000);
  for (int64_t end = 1007500; end <= 1032500; end += 5000) {
    time.setMonotonicMs(end);
    EXPECT_EQ(watch.check(&elapsed), Due::KeepAlive) << end;
  }
  EXPECT_EQ(elapsed, 30);  // 30 whole seconds are not yet more than 30
  time.setMonotonicMs(1037499);
  EXPECT_EQ(watch.check(&elapsed), Due::Nothing);
  EXPECT_EQ(watch.msUntilQuietEnd(), 1);
  time.setMonotonicMs(1037500);
  EXPECT_EQ(watch.check(&elapsed), Due::Lost);
  EXPECT_EQ(elapsed, 35);

  // A clock that has run past the quiet end never asks for a negative wait.
  time.advanceMs(60000);
  EXPECT_EQ(watch.msUntilQuietEnd(), 0);
}

}  // namespace
