// SPDX-License-Identifier: GPL-2.0-or-later
// Built twice when the build checks the lock annotations: as it is it must
// compile, and with UNLOCKED defined it must not. Otherwise the check would pass
// whatever the code does with its locks.
#include "base/mutex.h"

struct Counter {
  Mutex mutex;
  int value GUARDED_BY(mutex) = 0;

  void add() {
#ifndef UNLOCKED
    MutexLock lock(mutex);
#endif
    ++value;
  }
};

int main() {
  Counter counter;
  counter.add();
  return 0;
}
