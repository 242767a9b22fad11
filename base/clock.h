// SPDX-License-Identifier: GPL-2.0-or-later
// The one monotonic clock of the daemon and its tools: CLOCK_MONOTONIC, which a
// stepped wall clock (NTP after boot, an operator's date) neither moves forward
// nor back. Timed behaviour that tests drive reads it through a MonotonicClock,
// which a test may replace by a clock of its own. Any thread.
#pragma once

#include <stdint.h>
#include <time.h>

#include <functional>

// Microseconds of CLOCK_MONOTONIC.
inline int64_t monotonicMicroseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Milliseconds of CLOCK_MONOTONIC.
inline int64_t monotonicMilliseconds() { return monotonicMicroseconds() / 1000; }

// Seconds of CLOCK_MONOTONIC, with their fraction.
inline double monotonicSeconds() { return static_cast<double>(monotonicMicroseconds()) / 1e6; }

// A source of monotonic milliseconds; monotonicMilliseconds unless a test gives another.
using MonotonicClock = std::function<int64_t()>;
