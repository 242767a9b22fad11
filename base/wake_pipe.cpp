// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/wake_pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

WakePipe::WakePipe() {
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = errno;
    fds[0] = fds[1] = -1;
  }
}

WakePipe::~WakePipe() {
  for (int& fd : fds) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

void WakePipe::poke() {
  if (fds[1] >= 0 && write(fds[1], "x", 1) != 1) {
    // The pipe is full: a wake-up is already pending.
  }
}

bool WakePipe::drain() {
  char sink[64];
  bool woken = false;
  while (fds[0] >= 0 && read(fds[0], sink, sizeof(sink)) > 0) woken = true;
  return woken;
}
