// SPDX-License-Identifier: GPL-2.0-or-later
#include "network/link_watch.h"

void LinkWatch::loggedIn() {
  lastPing = now();
  quietEnd = lastPing + kQuietMs;
  received = 0;
}

bool LinkWatch::serverDatagram() {
  quietEnd = now() + kQuietMs;
  return received++ % kKeepAliveEvery == 0;
}

void LinkWatch::serverKeepAlive() { lastPing = now(); }

int64_t LinkWatch::msUntilQuietEnd() const {
  int64_t left = quietEnd - now();
  if (left < 0) return 0;
  return left > kQuietMs ? kQuietMs : left;
}

LinkWatch::Due LinkWatch::check(int* elapsedSeconds) {
  int64_t at = now();
  if (at < quietEnd) return Due::Nothing;
  quietEnd = at + kQuietMs;
  int64_t elapsed = (at - lastPing) / 1000;
  if (elapsedSeconds != nullptr) *elapsedSeconds = static_cast<int>(elapsed);
  return elapsed > kLostAfterSeconds ? Due::Lost : Due::KeepAlive;
}
