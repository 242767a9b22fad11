// SPDX-License-Identifier: GPL-2.0-or-later
// The one owner of a file descriptor (socket, pipe end, eventfd): closed when the
// owner is destroyed or reset, handed on by moving, given up by release. Not
// safe against concurrent use: one thread resets an owner while no other uses it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <utility>

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int descriptor) : fd(descriptor) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd; }
  bool valid() const { return fd >= 0; }
  // The descriptor, no longer owned; -1 left behind.
  int release() { return std::exchange(fd, -1); }
  // Closes the descriptor held, if any, and takes the new one.
  void reset(int descriptor = -1) {
    int old = std::exchange(fd, descriptor);
    if (old >= 0 && old != descriptor) ::close(old);
  }

 private:
  int fd = -1;
};

// The two ends of a pipe, each with its own owner.
struct UniquePipe {
  UniqueFd read;
  UniqueFd write;
  // Opens a fresh pipe with the flags of pipe2 (O_CLOEXEC, O_NONBLOCK); the old
  // ends are closed either way. False, with both ends empty, when it fails.
  bool open(int flags) {
    int ends[2] = {-1, -1};
    bool made = pipe2(ends, flags) == 0;
    read.reset(made ? ends[0] : -1);
    write.reset(made ? ends[1] : -1);
    return made;
  }
};
