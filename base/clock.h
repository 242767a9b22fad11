// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's time, in one place. A Clock reads two kinds of time:
//   monotonic: CLOCK_MONOTONIC, which a stepped wall clock (NTP after boot, an
//     operator's date) neither moves forward nor back; every deadline, pause,
//     time-out and lost-server test is measured on it;
//   wall: CLOCK_REALTIME, for what people read (log time stamps, the status
//     page's times) and for file ages (the subscriber file's daily reload).
// A default Clock reads the system. A test hands the timed component a Clock made
// from a ManualTime instead and moves that by hand. Clocks are small values,
// copied into each component that reads time; any thread may read one. The
// ManualTime a Clock borrows must outlive it.
#pragma once

#include <stdint.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>

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

// Microseconds of CLOCK_REALTIME since the epoch.
inline int64_t wallMicroseconds() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Time that a test sets and moves by hand. Both kinds start where the test puts
// them; advance moves both, as time passing does; stepWall moves the wall clock
// alone, as an operator's date or NTP does. A step per reading moves the
// monotonic time on by itself at every monotonic reading, for code that waits in
// a loop on the clock. Any thread may read and move it.
class ManualTime {
 public:
  explicit ManualTime(int64_t monotonicUs = 1000000000, int64_t wallUs = 1700000000000000)
      : monotonicUs(monotonicUs), wallUs(wallUs) {}

  void advanceMs(int64_t ms) {
    monotonicUs += ms * 1000;
    wallUs += ms * 1000;
  }
  void stepWallMs(int64_t ms) { wallUs += ms * 1000; }
  void setMonotonicMs(int64_t ms) { monotonicUs = ms * 1000; }
  void setWallUs(int64_t us) { wallUs = us; }
  void setStepPerReadingMs(int64_t ms) { stepUs = ms * 1000; }

  int64_t readMonotonicUs() { return monotonicUs.fetch_add(stepUs.load()); }
  int64_t readWallUs() const { return wallUs.load(); }

 private:
  std::atomic<int64_t> monotonicUs;
  std::atomic<int64_t> wallUs;
  std::atomic<int64_t> stepUs{0};
};

class Clock {
 public:
  Clock() = default;  // the system's clocks
  explicit Clock(ManualTime* manual) : manual(manual) {}

  int64_t monotonicUs() const { return manual != nullptr ? manual->readMonotonicUs() : monotonicMicroseconds(); }
  int64_t monotonicMs() const { return monotonicUs() / 1000; }
  int64_t wallUs() const { return manual != nullptr ? manual->readWallUs() : wallMicroseconds(); }
  int64_t wallMs() const { return wallUs() / 1000; }
  struct timeval wallTimeval() const {
    const int64_t us = wallUs();
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(us / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
    return tv;
  }

 private:
  ManualTime* manual = nullptr;
};
