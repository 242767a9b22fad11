// SPDX-License-Identifier: GPL-2.0-or-later
// Collects every log line the process writes, without its time-stamp prefix, into
// a vector the test owns until it stops the collection (setLineObserver(nullptr,
// nullptr)). The vector is not locked: for tests whose lines come from one thread
// at a time.
#pragma once

#include <string>
#include <vector>

#include "telemetry/log_class.h"

namespace testing_support {

inline void collectLogLines(std::vector<std::string>* lines) {
  logInstance.setLineObserver(
      [](void* context, unsigned int, const char* line) {
        static_cast<std::vector<std::string>*>(context)->push_back(line + LOG_CLASS::kPrefixLength);
      },
      lines);
}

}  // namespace testing_support
