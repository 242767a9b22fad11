// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/output_capture.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "common/process.h"

namespace testing_support {

namespace {

void flushStreams() {
  fflush(stdout);
  fflush(stderr);
}

}  // namespace

OutputCapture::OutputCapture(int fd) : target(fd) {
  char pattern[] = "/tmp/zelk-capture-XXXXXX";
  int file = mkstemp(pattern);
  if (file < 0) return;
  path = pattern;
  flushStreams();
  saved = dup(target);
  dup2(file, target);
  close(file);
}

OutputCapture::~OutputCapture() {
  if (saved < 0) return;
  flushStreams();
  dup2(saved, target);
  close(saved);
  std::string captured = readFile(path);
  if (write(target, captured.data(), captured.size()) < 0) {
    // The test log misses the captured text; nothing else to do.
  }
  unlink(path.c_str());
}

std::string OutputCapture::text() const {
  flushStreams();
  return path.empty() ? std::string() : readFile(path);
}

bool OutputCapture::waitFor(const std::string& needle, int timeoutMs) const {
  for (int waited = 0;; waited += 10) {
    if (text().find(needle) != std::string::npos) return true;
    if (waited >= timeoutMs) return false;
    usleep(10 * 1000);
  }
}

}  // namespace testing_support
