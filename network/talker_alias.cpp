#include "network/talker_alias.h"

#include <cstring>
#include <utility>

#include "network/odmrtp_class.h"
#include "telemetry/log_class.h"

unsigned char talkerAliasBytes[TALKER_ALIAS_BLOCKS][TALKER_ALIAS_BLOCK_SIZE] = {
    {0x04, 0x00, 0x62, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
};

namespace {

// Opcode of the header; blocks 1 to 3 follow it as 0x05 to 0x07.
constexpr unsigned char kHeaderOpcode = 0x04;
// Format 1, ISO 8-bit characters, in bits 7-6 of header byte 2.
constexpr unsigned char kFormatIso8Bit = 0x40;
constexpr int kHeaderCharacters = 6;
constexpr int kBlockCharacters = 7;

// Decoder state, used by decode alone and kept between calls: the text collected
// so far and the length the last header announced.
unsigned char buff[32];
int taLen = 0;

}  // namespace

TalkerAlias::TalkerAlias() : blockCount(0) {}

void TalkerAlias::setTaString(std::string text) { taString = std::move(text); }

std::string TalkerAlias::getTaString() { return taString; }

void TalkerAlias::encode(const char* text) {
  for (auto& block : talkerAliasBytes) memset(block + 1, 0, TALKER_ALIAS_BLOCK_SIZE - 1);
  blockCount = 0;
  size_t length = text != nullptr ? strlen(text) : 0;
  if (length > TALKER_ALIAS_MAX_LENGTH) length = TALKER_ALIAS_MAX_LENGTH;
  if (length == 0) return;

  blockCount = static_cast<int>(length) / kBlockCharacters + 1;
  talkerAliasBytes[0][2] = static_cast<unsigned char>(length << 1) | kFormatIso8Bit;
  size_t first = length < kHeaderCharacters ? length : kHeaderCharacters;
  memcpy(&talkerAliasBytes[0][3], text, first);
  size_t placed = first;
  for (int block = 1; placed < length; ++block) {
    size_t take = length - placed < kBlockCharacters ? length - placed : kBlockCharacters;
    memcpy(&talkerAliasBytes[block][2], text + placed, take);
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
    memset(buff, 0xFF, sizeof(buff));
    taLen = (block[2] >> 1) & 0x1F;
    logInstance.log(LOG_INFO, "taFormat = %d\n", block[2] >> 6);
    memcpy(buff, block + 3, kHeaderCharacters);
  } else {
    memcpy(buff + kHeaderCharacters + (index - 1) * kBlockCharacters, block + 2, kBlockCharacters);
  }

  // The block that carries the last character completes the alias, unless it was
  // already reported (first byte 0) since the last header.
  if (index == taLen / kBlockCharacters && buff[0] != 0) {
    buff[taLen] = 0;
    logInstance.log(LOG_INFO, "TA = %s\n", reinterpret_cast<const char*>(buff));
    buff[0] = 0;
    return 1;
  }
  return 0;
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
