// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/control_escape.h"

#include <string.h>

std::string escapeControls(const char* data, size_t length) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c >= 0x20 && c != 0x7F) {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 0x0F];
    }
  }
  return out;
}

std::string escapeControls(const char* text) { return text != nullptr ? escapeControls(text, strlen(text)) : ""; }

const char* maskedSecret(const char* secret) { return secret != nullptr && secret[0] != '\0' ? "********" : ""; }
