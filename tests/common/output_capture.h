// SPDX-License-Identifier: GPL-2.0-or-later
// Captures what this process writes to standard output or standard error (the
// descriptor itself, so writes from every thread are seen) into a scratch file,
// for tests of messages that code prints directly. On destruction the stream is
// restored and the captured text is passed on to it, so nothing is hidden from
// the test log.
#pragma once

#include <string>

namespace testing_support {

class OutputCapture {
 public:
  explicit OutputCapture(int fd);  // 1 or 2
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  std::string text() const;  // everything captured so far
  // Waits until the captured text contains needle; false after the time-out.
  bool waitFor(const std::string& needle, int timeoutMs) const;

 private:
  int target;
  int saved = -1;
  std::string path;
};

}  // namespace testing_support
