// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/publish.h"

#include <cstring>

namespace {

std::unique_ptr<char[]> copyText(const char* text) {
  if (text == nullptr) return nullptr;
  size_t size = strlen(text) + 1;
  std::unique_ptr<char[]> copy(new char[size]);
  memcpy(copy.get(), text, size);
  return copy;
}

}  // namespace

Publish::Publish(const char* topicText, const char* messageText, QoS level, bool retained)
    : topic(copyText(topicText)), message(copyText(messageText)), qos(level), retain(retained) {}
