// SPDX-License-Identifier: GPL-2.0-or-later
#include "network/link_watch.h"

#include <utility>

LinkWatch::LinkWatch(MonotonicClock source) : clock(std::move(source)) {}

void LinkWatch::setClock(MonotonicClock source) { clock = std::move(source); }

void LinkWatch::loggedIn() {
  lastPing = clock();
  quietEnd = lastPing + kQuietMs;
  received = 0;
}

bool LinkWatch::serverDatagram() {
  quietEnd = clock() + kQuietMs;
  return received++ % kKeepAliveEvery == 0;
}

void LinkWatch::serverKeepAlive() { lastPing = clock(); }

int64_t LinkWatch::msUntilQuietEnd() const {
  int64_t left = quietEnd - clock();
  if (left < 0) return 0;
  return left > kQuietMs ? kQuietMs : left;
}

LinkWatch::Due LinkWatch::check(int* elapsedSeconds) {
  int64_t at = clock();
  if (at < quietEnd) return Due::Nothing;
  quietEnd = at + kQuietMs;
  int64_t elapsed = (at - lastPing) / 1000;
  if (elapsedSeconds != nullptr) *elapsedSeconds = static_cast<int>(elapsed);
  return elapsed > kLostAfterSeconds ? Due::Lost : Due::KeepAlive;
}
