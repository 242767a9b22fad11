// SPDX-License-Identifier: GPL-2.0-or-later
#include "local/tlv_class.h"

#include <cstring>

TLV_CLASS::TLV_CLASS(uint8_t tag, uint8_t length, const unsigned char* value) { construct(tag, length, value); }

void TLV_CLASS::construct(uint8_t tag, uint8_t length, const unsigned char* value) {
  // Uninitialised on purpose: every byte is written below.
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[length + TLV_HEADER_LENGTH + 1]);
  buffer[0] = tag;
  buffer[1] = length;
  if (value != nullptr) {
    memcpy(buffer.get() + TLV_HEADER_LENGTH, value, length);
  } else {
    memset(buffer.get() + TLV_HEADER_LENGTH, 0, length);
  }
  buffer[TLV_HEADER_LENGTH + length] = 0;  // the spare byte
  bytes = std::move(buffer);
}
