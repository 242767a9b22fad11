// SPDX-License-Identifier: GPL-2.0-or-later
// Talker alias blocks from the network: the input is cut into 9-byte blocks that
// the decoder takes in any order (opcode byte included, so headers, blocks 1 to 3
// and stray opcodes all occur). The same bytes, as text, go through the encoder
// and the placeholder substitution that local calls use. The encoder must give
// as many blocks as its header's length asks for, and a value put in for a token
// is never searched again.
#include <string.h>

#include <string>

#include "fuzz/fuzz_support.h"
#include "network/talker_alias.h"

namespace {

// The header's length (bits 1 to 5 of its third byte) fixes the number of blocks:
// six characters in the header, seven in each block after it.
bool blocksMatchHeader(const TalkerAlias& alias) {
  if (alias.blockCount == 0) return true;
  int length = (alias.talkerAliasBytes[0][2] >> 1) & 0x1F;
  return length >= 1 && length <= TALKER_ALIAS_MAX_LENGTH && alias.blockCount == length / 7 + 1;
}

}  // namespace

namespace fuzzing {

int talkerAliasBlocks(const uint8_t* data, size_t size) {
  quietLogging(true);
  static TalkerAlias* alias = new TalkerAlias();  // kept across inputs, so blocks of one input meet those of the next

  int failed = 0;
  size_t at = 0;
  for (; at + TALKER_ALIAS_BLOCK_SIZE <= size; at += TALKER_ALIAS_BLOCK_SIZE) {
    unsigned char block[TALKER_ALIAS_BLOCK_SIZE];
    memcpy(block, data + at, sizeof(block));
    // The message handler passes only opcodes 4 to 7; the decoder must refuse others itself.
    int completed = alias->decode(block);
    if (completed != 0 && completed != 1) ++failed;
  }

  // What is left over is a text: an alias to encode, and a callsign and name to substitute.
  std::string text(reinterpret_cast<const char*>(data + at), size - at);
  alias->encode(text.c_str());
  if (!blocksMatchHeader(*alias)) ++failed;
  std::string filled = alias->substitute("%callsign %name %callsign", "%callsign", text);
  if (filled != text + " %name " + text) ++failed;
  filled = alias->substitute(filled, "%name", text.substr(0, text.size() / 2));
  alias->encode(filled.c_str());
  if (!blocksMatchHeader(*alias)) ++failed;
  return failed;
}

}  // namespace fuzzing
