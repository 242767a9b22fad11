// SPDX-License-Identifier: GPL-2.0-or-later
// One Rewind packet as it travels over UDP: an 18-byte header ("REWIND01", type,
// flags, sequence, payload length) followed by the payload. Header fields are
// little-endian on the wire whatever the host: read and write them only through
// the helpers below, which work on bytes, never through the struct's fields.
// A RewindData pointer always points into a buffer that someone else owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/big_endian.h"  // the IDs inside DMR link control

constexpr char REWIND_PROTOCOL_SIGN[] = "REWIND01";
constexpr size_t REWIND_SIGN_LENGTH = 8;
constexpr size_t REWIND_HEADER_SIZE = 18;

// Bit 0 of the flags: the real-time bit. It also selects which sequence counter
// numbers the packet (control packets on one, voice packets on the other).
constexpr uint16_t REWIND_FLAG_NONE = 0x0000;
constexpr uint16_t REWIND_FLAG_REAL_TIME_1 = 0x0001;

constexpr uint16_t REWIND_TYPE_KEEP_ALIVE = 0x0000;
constexpr uint16_t REWIND_TYPE_CLOSE = 0x0001;
constexpr uint16_t REWIND_TYPE_CHALLENGE = 0x0002;
constexpr uint16_t REWIND_TYPE_AUTHENTICATION = 0x0003;
constexpr uint16_t REWIND_TYPE_REPORT = 0x0100;
constexpr uint16_t REWIND_TYPE_BUSY_NOTICE = 0x0200;
constexpr uint16_t REWIND_TYPE_SUBSCRIPTION = 0x0901;
constexpr uint16_t REWIND_TYPE_CANCELLING = 0x0902;
// DMR data: base + 1 is the voice header, base + 2 the voice terminator.
constexpr uint16_t REWIND_TYPE_DMR_DATA_BASE = 0x0910;
constexpr uint16_t REWIND_TYPE_DMR_VOICE_FRAME = 0x0920;
constexpr uint16_t REWIND_TYPE_DMR_EMBEDDED_DATA = 0x0927;
constexpr uint16_t REWIND_TYPE_TERMINAL_IDLE = 0x0A00;
constexpr uint16_t REWIND_TYPE_TERMINAL_ATTACH = 0x0A03;
constexpr uint16_t REWIND_TYPE_TERMINAL_WAKEUP = 0x0A04;
constexpr uint16_t REWIND_TYPE_MESSAGE_TEXT = 0x0A10;
constexpr uint16_t REWIND_TYPE_MESSAGE_STATUS = 0x0A11;
constexpr uint16_t REWIND_TYPE_LOCATION_REPORT = 0x0A20;
constexpr uint16_t REWIND_TYPE_LOCATION_REQUEST = 0x0A21;

// The name of a packet type, the constant's name without "REWIND_TYPE_" (the
// voice header and terminator as DMR_VOICE_HEADER and DMR_VOICE_TERMINATOR);
// null for a code without a name.
inline const char* rewindTypeName(uint16_t type) {
  switch (type) {
    case REWIND_TYPE_KEEP_ALIVE: return "KEEP_ALIVE";
    case REWIND_TYPE_CLOSE: return "CLOSE";
    case REWIND_TYPE_CHALLENGE: return "CHALLENGE";
    case REWIND_TYPE_AUTHENTICATION: return "AUTHENTICATION";
    case REWIND_TYPE_REPORT: return "REPORT";
    case REWIND_TYPE_BUSY_NOTICE: return "BUSY_NOTICE";
    case REWIND_TYPE_SUBSCRIPTION: return "SUBSCRIPTION";
    case REWIND_TYPE_CANCELLING: return "CANCELLING";
    case REWIND_TYPE_DMR_DATA_BASE + 1: return "DMR_VOICE_HEADER";
    case REWIND_TYPE_DMR_DATA_BASE + 2: return "DMR_VOICE_TERMINATOR";
    case REWIND_TYPE_DMR_VOICE_FRAME: return "DMR_VOICE_FRAME";
    case REWIND_TYPE_DMR_EMBEDDED_DATA: return "DMR_EMBEDDED_DATA";
    case REWIND_TYPE_TERMINAL_IDLE: return "TERMINAL_IDLE";
    case REWIND_TYPE_TERMINAL_ATTACH: return "TERMINAL_ATTACH";
    case REWIND_TYPE_TERMINAL_WAKEUP: return "TERMINAL_WAKEUP";
    case REWIND_TYPE_MESSAGE_TEXT: return "MESSAGE_TEXT";
    case REWIND_TYPE_MESSAGE_STATUS: return "MESSAGE_STATUS";
    case REWIND_TYPE_LOCATION_REPORT: return "LOCATION_REPORT";
    case REWIND_TYPE_LOCATION_REQUEST: return "LOCATION_REQUEST";
    default: return nullptr;
  }
}

// Payload sizes of the packets the client builds.
constexpr size_t REWIND_SUBSCRIPTION_SIZE = 8;   // word 7, then the talk group (both LE)
constexpr size_t REWIND_VOICE_HEADER_SIZE = 12;  // DMR full link control, check bytes zero
constexpr size_t REWIND_VOICE_BURST_SIZE = 27;   // three 9-byte AMBE frames

#pragma pack(push, 1)
struct RewindData {
  char magic[REWIND_SIGN_LENGTH];
  uint16_t type;
  uint16_t flags;
  uint32_t sequence;
  uint16_t length;
  uint8_t payload[];
};
#pragma pack(pop)

static_assert(sizeof(RewindData) == REWIND_HEADER_SIZE, "the Rewind header has 18 bytes and no padding");

inline uint16_t readLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t readLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline void writeLE16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}
inline void writeLE32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline const uint8_t* rewindBytes(const RewindData* packet) { return reinterpret_cast<const uint8_t*>(packet); }
inline uint16_t rewindType(const RewindData* packet) { return readLE16(rewindBytes(packet) + 8); }
inline uint16_t rewindFlags(const RewindData* packet) { return readLE16(rewindBytes(packet) + 10); }
inline uint32_t rewindSequence(const RewindData* packet) { return readLE32(rewindBytes(packet) + 12); }
inline uint16_t rewindLength(const RewindData* packet) { return readLE16(rewindBytes(packet) + 16); }

// True when size bytes at data can be a Rewind packet: a whole header and the magic.
inline bool isRewindPacket(const void* data, size_t size) {
  return size >= REWIND_HEADER_SIZE && memcmp(data, REWIND_PROTOCOL_SIGN, REWIND_SIGN_LENGTH) == 0;
}

inline void writeRewindHeader(uint8_t header[REWIND_HEADER_SIZE], uint16_t type, uint16_t flags, uint32_t sequence,
                              uint16_t length) {
  memcpy(header, REWIND_PROTOCOL_SIGN, REWIND_SIGN_LENGTH);
  writeLE16(header + 8, type);
  writeLE16(header + 10, flags);
  writeLE32(header + 12, sequence);
  writeLE16(header + 16, length);
}
