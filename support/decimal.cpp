// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/decimal.h"

#include <limits.h>

int parseDecimal(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  // The white space of the C locale, as atoi skips it.
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // The magnitude is gathered up to one past INT_MAX, the size of INT_MIN; beyond
  // that the result is clamped and further digits change nothing.
  const long long limit = static_cast<long long>(INT_MAX) + 1;
  long long magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > limit) magnitude = limit;
  }
  if (negative) return static_cast<int>(-magnitude);  // -limit is INT_MIN itself
  return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}
