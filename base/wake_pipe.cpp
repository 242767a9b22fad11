// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/wake_pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

WakePipe::WakePipe() {
  if (!ends.open(O_CLOEXEC | O_NONBLOCK)) error = errno;
}

void WakePipe::poke() {
  if (ends.write.valid() && write(ends.write.get(), "x", 1) != 1) {
    // The pipe is full: a wake-up is already pending.
  }
}

bool WakePipe::drain() {
  char sink[64];
  bool woken = false;
  while (ends.read.valid() && read(ends.read.get(), sink, sizeof(sink)) > 0) woken = true;
  return woken;
}
