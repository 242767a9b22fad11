// SPDX-License-Identifier: GPL-2.0-or-later
#include "network/talker_alias.h"

#include <cstring>
#include <utility>

#include "network/odmrtp_class.h"
#include "support/utf8.h"
#include "telemetry/control_escape.h"
#include "telemetry/log_class.h"

namespace {

// Opcode of the header; blocks 1 to 3 follow it as 0x05 to 0x07.
constexpr unsigned char kHeaderOpcode = 0x04;
// Format 1, ISO 8-bit characters, in bits 7-6 of header byte 2.
constexpr unsigned char kFormatIso8Bit = 0x40;
constexpr int kHeaderCharacters = 6;
constexpr int kBlockCharacters = 7;

// The alias formats of header byte 2, bits 7-6.
enum AliasFormat { kSevenBit = 0, kIso8Bit = 1, kUtf8 = 2, kUtf16 = 3 };

// The block that carries the last character of an alias of the format and length.
int lastBlock(int format, int length) {
  switch (format) {
    case kSevenBit: return length / 8;    // 7 characters in the header, 8 in each block
    case kUtf16: return 2 * length / 7;   // two bytes per character
    default: return length / 7;           // one byte per character (ISO) or per byte (UTF-8)
  }
}

// The announced alias in UTF-8, up to its first zero character: received holds
// bytes 2 to 8 of the header and of blocks 1 to 3.
std::string receivedText(const unsigned char* received, int taFormat, int taLen) {
  std::string text;
  const unsigned char* bytes = received + 1;  // the text bytes behind header byte 2
  switch (taFormat) {
    case kSevenBit:
      // 7-bit characters packed most significant bit first, from bit 0 of header
      // byte 2 on: bit n of that stream is bit 7 + n of the received bytes.
      for (int i = 0; i < taLen; ++i) {
        unsigned int c = 0;
        for (int bit = 7 + 7 * i; bit < 14 + 7 * i; ++bit) c = (c << 1) | ((received[bit / 8] >> (7 - bit % 8)) & 1);
        if (c == 0) break;
        text += static_cast<char>(c);
      }
      break;
    case kIso8Bit:
      for (int i = 0; i < taLen && bytes[i] != 0; ++i) appendUtf8(text, bytes[i]);
      break;
    case kUtf8:
      for (size_t at = 0; at < static_cast<size_t>(taLen);) {
        uint32_t c = nextCharacter(bytes, static_cast<size_t>(taLen), &at);
        if (c == 0) break;
        appendUtf8(text, c);
      }
      break;
    case kUtf16:
      for (int i = 0; i < taLen; ++i) {
        uint32_t unit = (uint32_t(bytes[2 * i]) << 8) | bytes[2 * i + 1];
        if (unit == 0) break;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < taLen) {
          uint32_t low = (uint32_t(bytes[2 * i + 2]) << 8) | bytes[2 * i + 3];
          if (low >= 0xDC00 && low <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            ++i;
          }
        }
        appendUtf8(text, unit);  // a lone surrogate becomes U+FFFD
      }
      break;
  }
  return text;
}

}  // namespace

TalkerAlias::TalkerAlias() : blockCount(0) {}

void TalkerAlias::setTaString(std::string text) { taString = std::move(text); }

std::string TalkerAlias::getTaString() { return taString; }

void TalkerAlias::encode(const char* text) {
  for (auto& block : talkerAliasBytes) memset(block + 1, 0, TALKER_ALIAS_BLOCK_SIZE - 1);
  blockCount = 0;
  encodedText.clear();
  // The text's characters in ISO 8859-1, one byte each, at most 27 of them.
  unsigned char iso[TALKER_ALIAS_MAX_LENGTH];
  size_t length = 0;
  const size_t textLength = text != nullptr ? strlen(text) : 0;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  for (size_t at = 0; at < textLength && length < TALKER_ALIAS_MAX_LENGTH;) {
    uint32_t c = nextCharacter(bytes, textLength, &at);
    iso[length++] = c <= 0xFF ? static_cast<unsigned char>(c) : '?';
    encodedText.assign(text, at);
  }
  if (length == 0) return;

  blockCount = static_cast<int>(length) / kBlockCharacters + 1;
  talkerAliasBytes[0][2] = static_cast<unsigned char>(length << 1) | kFormatIso8Bit;
  size_t first = length < kHeaderCharacters ? length : kHeaderCharacters;
  memcpy(&talkerAliasBytes[0][3], iso, first);
  size_t placed = first;
  for (int block = 1; placed < length; ++block) {
    size_t take = length - placed < kBlockCharacters ? length - placed : kBlockCharacters;
    memcpy(&talkerAliasBytes[block][2], iso + placed, take);
    placed += take;
  }
}

void TalkerAlias::send(ODMRTP_CLASS* client) {
  if (client == nullptr) return;
  for (int block = 0; block < blockCount && block < TALKER_ALIAS_BLOCKS; ++block) {
    client->TransmitRewindData(REWIND_TYPE_DMR_EMBEDDED_DATA, REWIND_FLAG_REAL_TIME_1, talkerAliasBytes[block],
                               TALKER_ALIAS_BLOCK_SIZE);
  }
}

int TalkerAlias::decode(const unsigned char* block) {
  if (block == nullptr || block[0] < kHeaderOpcode || block[0] > kHeaderOpcode + 3) return 0;
  const int index = block[0] - kHeaderOpcode;

  if (index == 0) {
    memset(received, 0xFF, sizeof(received));
    taFormat = block[2] >> 6;
    taLen = (block[2] >> 1) & 0x1F;
    pending = true;
    logInstance.log(LOG_INFO, "taFormat = %d\n", taFormat);
  }
  memcpy(received + index * kBlockDataBytes, block + 2, kBlockDataBytes);

  // The block that carries the last character completes the alias, once per
  // header; an alias whose first character is 0 is never reported.
  if (!pending || index != lastBlock(taFormat, taLen)) return 0;
  std::string text = receivedText(received, taFormat, taLen);
  if (text.empty()) return 0;
  logInstance.log(LOG_INFO, "TA = %s\n", escapeControls(text.data(), text.size()).c_str());
  decodedText = std::move(text);
  pending = false;
  return 1;
}

std::string TalkerAlias::substitute(std::string text, const char* token, std::string value) {
  if (token == nullptr || token[0] == '\0') return text;
  const size_t tokenLength = strlen(token);
  size_t position = 0;
  while ((position = text.find(token, position, tokenLength)) != std::string::npos) {
    text.replace(position, tokenLength, value);
    position += value.size();
  }
  return text;
}
