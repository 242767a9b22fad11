// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/utf8.h"

uint32_t nextCharacter(const unsigned char* data, size_t length, size_t* position) {
  const size_t at = *position;
  const unsigned char lead = data[at];
  *position = at + 1;
  // Continuation bytes that follow the lead, and the smallest code point that
  // needs that many (anything smaller is an overlong form).
  size_t count;
  uint32_t smallest;
  if (lead >= 0xC2 && lead <= 0xDF) {
    count = 1;
    smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    count = 2;
    smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    count = 3;
    smallest = 0x10000;
  } else {
    return lead;  // ASCII, or a byte that cannot start a sequence
  }
  uint32_t codePoint = lead & (0x3F >> count);
  if (length - at - 1 < count) return lead;
  for (size_t i = 1; i <= count; ++i) {
    const unsigned char next = data[at + i];
    if ((next & 0xC0) != 0x80) return lead;
    codePoint = (codePoint << 6) | (next & 0x3F);
  }
  if (codePoint < smallest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return lead;
  *position = at + 1 + count;
  return codePoint;
}

void appendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) codePoint = 0xFFFD;
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

std::string toUtf8(const char* data, size_t length) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  std::string out;
  out.reserve(length);
  size_t position = 0;
  while (position < length) appendUtf8(out, nextCharacter(bytes, length, &position));
  return out;
}
