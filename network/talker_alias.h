// SPDX-License-Identifier: GPL-2.0-or-later
// DMR talker alias (ETSI TS 102 361-2): the text that names the speaker of a call,
// carried as up to four 9-byte link-control blocks (the header and blocks 1 to 3).
// Each object holds its own encoded blocks and decoder state, so two aliases in
// one process never see each other. The sending side (encode, send, substitute,
// getTaString) runs on the dispatching thread and writes talkerAliasBytes; decode
// runs on the network thread and keeps its own fields. The two sides share
// nothing, so there is no lock; encode and send must stay on one thread.
#pragma once

#include <string>

class ODMRTP_CLASS;

constexpr int TALKER_ALIAS_BLOCKS = 4;
constexpr int TALKER_ALIAS_BLOCK_SIZE = 9;
constexpr int TALKER_ALIAS_MAX_LENGTH = 27;

class TalkerAlias {
 public:
  TalkerAlias();

  void setTaString(std::string text);
  std::string getTaString();

  // Rebuilds talkerAliasBytes and blockCount from the text, taken as UTF-8 (other
  // bytes as ISO 8859-1) and sent as format 1: one ISO 8859-1 byte per character,
  // "?" for a character outside it, cut to 27 characters. An empty text leaves
  // nothing to send.
  void encode(const char* text);
  // Sends the first blockCount blocks as embedded data, numbered with the voice packets.
  void send(ODMRTP_CLASS* client);
  // Collects one received block; 1 when it completed an alias (which it logs in
  // UTF-8, control bytes escaped, and keeps in decodedText), else 0. Formats: 0 (7-bit, up to 31
  // characters), 1 (ISO 8859-1), 2 (UTF-8, the length in bytes), 3 (UTF-16
  // big-endian, the length in characters).
  int decode(const unsigned char* block);
  // The text with every occurrence of the token replaced by the value; the inserted
  // value is never searched again.
  std::string substitute(std::string text, const char* token, std::string value);

  int blockCount;        // blocks of the current alias, 0 to 4
  std::string taString;  // the alias template
  std::string encodedText;  // the part of the text that encode took in, as given
  std::string decodedText;  // the latest alias decode completed, in UTF-8
  // The encoded alias, sent in table order: header, block 1, block 2, block 3.
  unsigned char talkerAliasBytes[TALKER_ALIAS_BLOCKS][TALKER_ALIAS_BLOCK_SIZE] = {
      {0x04, 0x00, 0x62, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
      {0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
      {0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
      {0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
  };

 private:
  static constexpr int kBlockDataBytes = 7;
  // Decoder state, used by decode alone and kept between calls: bytes 2 to 8 of the
  // header and of blocks 1 to 3 as received since the last header (0xFF where no
  // block came), the format and length the header announced, and whether its
  // alias is still to be reported.
  unsigned char received[TALKER_ALIAS_BLOCKS * kBlockDataBytes] = {};
  int taFormat = 0;
  int taLen = 0;
  bool pending = false;
};
