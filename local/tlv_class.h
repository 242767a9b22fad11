// SPDX-License-Identifier: GPL-2.0-or-later
// One local-link message in memory: tag, length L and L value bytes, laid out
// exactly as on the wire, followed by one spare byte. The message owns its
// buffer. Whoever creates a message hands it to the TLV queue; the thread that
// pops it owns it and deletes it when done. A message is used by one thread at
// a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Tag codes of the local link. Codes 1, 4 and 14 to 255 have no name.
constexpr uint8_t TAG_BEGIN_TX = 0;     // source, repeater, destination, slot, cc [, metadata]
constexpr uint8_t TAG_END_TX = 2;       // one byte (slot), not looked at on receipt
constexpr uint8_t TAG_TG_TUNE = 3;
constexpr uint8_t TAG_REMOTE_CMD = 5;   // command text, zero byte optional
constexpr uint8_t TAG_AMBE_49 = 6;
constexpr uint8_t TAG_AMBE_72 = 7;      // slot byte, then three 9-byte vocoder frames
constexpr uint8_t TAG_SET_INFO = 8;     // same layout as TAG_BEGIN_TX
constexpr uint8_t TAG_IMBE = 9;
constexpr uint8_t TAG_DSAMBE = 10;
constexpr uint8_t TAG_FILE_XFER = 11;
constexpr uint8_t TAG_NOP = 12;
constexpr uint8_t TAG_EVENT = 13;       // JSON text and its terminating zero byte

// Tag and length bytes in front of the value.
constexpr size_t TLV_HEADER_LENGTH = 2;
// Longest message on the wire: two header bytes and 255 value bytes.
constexpr size_t TLV_MAX_WIRE_LENGTH = TLV_HEADER_LENGTH + 255;

class TLV_CLASS {
 public:
  // Copies length bytes from value (value may be null only when length is 0;
  // a null value with a non-zero length gives zero bytes).
  TLV_CLASS(uint8_t tag, uint8_t length, const unsigned char* value);
  TLV_CLASS(const TLV_CLASS&) = delete;
  TLV_CLASS& operator=(const TLV_CLASS&) = delete;

  // Replaces the buffer with a fresh one of length + 3 bytes: tag, length,
  // value and the spare byte (set to 0).
  void construct(uint8_t tag, uint8_t length, const unsigned char* value);

  // The first byte of the buffer (the tag). The value starts at getRaw() + 2 and
  // the spare byte at getRaw() + 2 + getLength(); a reader may overwrite the
  // spare byte to end the value as a C string.
  unsigned char* getRaw() { return bytes.get(); }
  const unsigned char* getRaw() const { return bytes.get(); }

  uint8_t getTag() const { return bytes[0]; }
  uint8_t getLength() const { return bytes[1]; }
  unsigned char* getValue() { return bytes.get() + TLV_HEADER_LENGTH; }
  const unsigned char* getValue() const { return bytes.get() + TLV_HEADER_LENGTH; }
  // Bytes on the wire: L + 2 (the spare byte is not sent).
  size_t getWireLength() const { return TLV_HEADER_LENGTH + bytes[1]; }

 private:
  std::unique_ptr<unsigned char[]> bytes;
};
