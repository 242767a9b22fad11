// SPDX-License-Identifier: GPL-2.0-or-later
// A pipe that wakes a thread blocked in select or poll: one thread pokes, the
// waiting one sees the read end readable and drains it. Both ends are
// non-blocking and close-on-exec, and are closed by the destructor. poke is safe
// from any thread; drain belongs to the waiting thread.
#pragma once

#include "base/unique_fd.h"

class WakePipe {
 public:
  WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  bool isOpen() const { return ends.read.valid(); }
  // The errno of a failed open, else 0.
  int openError() const { return error; }
  // The end to wait on; -1 when the pipe could not be opened.
  int readFd() const { return ends.read.get(); }
  // Makes the read end readable. A full pipe already holds a wake-up.
  void poke();
  // Empties the read end; true when it held anything.
  bool drain();

 private:
  UniquePipe ends;
  int error = 0;
};
