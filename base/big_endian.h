// SPDX-License-Identifier: GPL-2.0-or-later
// Big-endian (most significant byte first) fields: 24-bit radio and talk-group
// IDs inside DMR link control and inside TLV values, 32-bit repeater IDs in TLV
// values. They work on bytes, whatever the host's order.
#pragma once

#include <cstdint>

inline uint32_t readBE24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}
// Writes the low 24 bits of value.
inline void writeBE24(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value >> 16);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value);
}

inline uint32_t readBE32(const uint8_t* p) { return readBE24(p) << 8 | p[3]; }
inline void writeBE32(uint8_t* p, uint32_t value) {
  writeBE24(p, value >> 8);
  p[3] = static_cast<uint8_t>(value);
}
