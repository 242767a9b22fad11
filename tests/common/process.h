// SPDX-License-Identifier: GPL-2.0-or-later
// Test helpers for whole-process tests: a child process with its standard output
// and error captured in files, free ports (common/free_port.h) and a scratch
// directory. Every wait is bounded by a time-out; a child still running when its
// ChildProcess is destroyed is killed.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "common/free_port.h"

namespace testing_support {

// Path of a binary built by this project ("zelk", a tool's name, ...).
std::string binaryPath(const std::string& name);

// A fresh directory under /tmp, removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return dir; }
  std::string file(const std::string& name) const { return dir + "/" + name; }
  void write(const std::string& name, const std::string& content) const;

 private:
  std::string dir;
};

std::string readFile(const std::string& path);


class ChildProcess {
 public:
  // argv[0] is the program path. extraEnv entries are "NAME=value" and are added to
  // (or override) the test's environment; cwd empty means the test's directory.
  ChildProcess(const std::vector<std::string>& argv, const std::string& cwd = "",
               const std::vector<std::string>& extraEnv = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return child; }
  bool running();
  void sendSignal(int signalNumber);
  // Waits for the end; returns the exit status, 128 + signal for a killed child,
  // or -1 when it is still running after the time-out.
  int waitExit(int timeoutMs);
  // Waits until the captured standard output contains the text.
  bool waitForOutput(const std::string& text, int timeoutMs);
  std::string output() const;  // standard output so far
  std::string errors() const;  // standard error so far

 private:
  TempDir captures;
  pid_t child = -1;
  int status = -1;
  bool reaped = false;
};

// The environment entries that preload tests/common/stepped_clock.c into a child.
std::vector<std::string> preloadedClockEnv();

// A child's monotonic clock, moved on by the test: the child started with env()
// sees its clock jump forward by what advance adds, at once. Its waits are not
// shortened: a test advances by what the child would have waited for, then lets
// it look at its clock again (a datagram it ignores does, for the daemon).
class DrivenClock {
 public:
  DrivenClock();
  ~DrivenClock();
  DrivenClock(const DrivenClock&) = delete;
  DrivenClock& operator=(const DrivenClock&) = delete;
  std::vector<std::string> env() const;
  void advance(int64_t milliseconds);
  int64_t advanced() const;  // milliseconds added so far

 private:
  TempDir dir;
  int64_t* shared = nullptr;
};

// Counts non-overlapping occurrences of needle in haystack.
int countOccurrences(const std::string& haystack, const std::string& needle);

}  // namespace testing_support
