// SPDX-License-Identifier: GPL-2.0-or-later
#include "network/talker_alias.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log_lines.h"
#include "common/rewind_test_support.h"
#include "network/odmrtp_class.h"
#include "telemetry/log_class.h"
#include "tools/rewind_sim/rewind_simulator.h"
#include "version.h"

namespace {

using Bytes = std::vector<uint8_t>;

class TalkerAliasTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logInstance.setLogLevel(1);
    testing_support::collectLogLines(&lines);
  }
  void TearDown() override { logInstance.setLineObserver(nullptr, nullptr); }

  // The decoder state lives for the object: a completed alias puts it back to "reported".
  int decodeBlock(const Bytes& b) { return alias.decode(b.data()); }
  Bytes block(int index) { return Bytes(alias.talkerAliasBytes[index], alias.talkerAliasBytes[index] + 9); }

  TalkerAlias alias;
  std::vector<std::string> lines;
};

TEST_F(TalkerAliasTest, SixCharactersFitTheHeader) {
  alias.encode("ABCDEF");
  EXPECT_EQ(alias.blockCount, 1);
  EXPECT_EQ(block(0), (Bytes{0x04, 0x00, 0x4C, 'A', 'B', 'C', 'D', 'E', 'F'}));
}

TEST_F(TalkerAliasTest, SeventhCharacterStartsBlockOne) {
  alias.encode("ABCDEFG");
  EXPECT_EQ(alias.blockCount, 2);
  EXPECT_EQ(block(0), (Bytes{0x04, 0x00, 0x4E, 'A', 'B', 'C', 'D', 'E', 'F'}));
  EXPECT_EQ(block(1), (Bytes{0x05, 0x00, 'G', 0, 0, 0, 0, 0, 0}));
}

TEST_F(TalkerAliasTest, LongTextsFillFourBlocksAndAreCutAt27) {
  const std::string text27 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0";
  alias.encode(text27.c_str());
  EXPECT_EQ(alias.blockCount, 4);
  EXPECT_EQ(alias.talkerAliasBytes[0][2], 0x76);
  EXPECT_EQ(block(1), (Bytes{0x05, 0x00, 'G', 'H', 'I', 'J', 'K', 'L', 'M'}));
  EXPECT_EQ(block(3), (Bytes{0x07, 0x00, 'U', 'V', 'W', 'X', 'Y', 'Z', '0'}));
  std::vector<Bytes> first;
  for (int i = 0; i < 4; ++i) first.push_back(block(i));

  alias.encode((text27 + "123").c_str());
  EXPECT_EQ(alias.blockCount, 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(block(i), first[i]) << "block " << i;
}

TEST_F(TalkerAliasTest, ShorterTextLeavesNothingOfTheLongerOne) {
  alias.encode("ABCDEFGHIJKLMNOPQRSTUVWXYZ0");
  alias.encode("XY");
  EXPECT_EQ(alias.blockCount, 1);
  EXPECT_EQ(block(0), (Bytes{0x04, 0x00, 0x44, 'X', 'Y', 0, 0, 0, 0}));
  for (int i = 1; i < 4; ++i) EXPECT_EQ(block(i), (Bytes{static_cast<uint8_t>(4 + i), 0, 0, 0, 0, 0, 0, 0, 0}));

  alias.encode("");
  EXPECT_EQ(alias.blockCount, 0);
  EXPECT_EQ(alias.talkerAliasBytes[0][2], 0);
}

TEST_F(TalkerAliasTest, TenCharacterAliasCompletesOnBlockOneOnlyOnce) {
  alias.encode("DL1ABC Bob");
  EXPECT_EQ(decodeBlock(block(0)), 0);
  EXPECT_EQ(decodeBlock(block(1)), 1);
  EXPECT_EQ(decodeBlock(block(1)), 0) << "the same alias is reported once per header";
  EXPECT_EQ(lines, (std::vector<std::string>{"taFormat = 1\n", "TA = DL1ABC Bob\n"}));
}

TEST_F(TalkerAliasTest, TwoAliasesInOneProcessShareNothing) {
  TalkerAlias other;
  alias.encode("DL1ABC Bob");
  other.encode("XY");
  EXPECT_EQ(block(0), (Bytes{0x04, 0x00, 0x54, 'D', 'L', '1', 'A', 'B', 'C'}));
  EXPECT_EQ(decodeBlock(block(0)), 0);
  EXPECT_EQ(other.decode(block(1).data()), 0) << "a header decoded by one alias starts nothing in the other";
  EXPECT_EQ(decodeBlock(block(1)), 1);
}

TEST_F(TalkerAliasTest, ShortAliasCompletesOnItsHeader) {
  alias.encode("ABCDE");
  EXPECT_EQ(decodeBlock(block(0)), 1);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "TA = ABCDE\n");
}

TEST_F(TalkerAliasTest, BlocksWithoutAHeaderNeverComplete) {
  alias.encode("DL1ABC Bob");
  decodeBlock(block(0));
  decodeBlock(block(1));
  lines.clear();
  EXPECT_EQ(decodeBlock(block(1)), 0);
  EXPECT_EQ(decodeBlock(Bytes{0x03, 0, 0x4C, 'A', 'B', 'C', 'D', 'E', 'F'}), 0) << "not a talker alias block";
  EXPECT_EQ(decodeBlock(Bytes{0x08, 0, 0x4C, 'A', 'B', 'C', 'D', 'E', 'F'}), 0);
  EXPECT_TRUE(lines.empty());
}

TEST_F(TalkerAliasTest, LostMiddleBlockStillCompletesWithGapBytes) {
  alias.encode("ABCDEFGHIJKLMNO");  // 15 characters: header, blocks 1 and 2
  EXPECT_EQ(decodeBlock(block(0)), 0);
  EXPECT_EQ(decodeBlock(block(2)), 1);
  std::string gap;  // seven 0xFF bytes, as ISO 8859-1 in UTF-8
  for (int i = 0; i < 7; ++i) gap += "\xC3\xBF";
  EXPECT_EQ(lines.back(), "TA = ABCDEF" + gap + "NO\n");
}

TEST_F(TalkerAliasTest, EveryLengthSurvivesEncodeAndDecode) {
  const std::string text = "DL1ABC Bob from Hamburg 73!";
  for (size_t length = 1; length <= text.size(); ++length) {
    alias.encode(text.substr(0, length).c_str());
    int completed = 0;
    for (int i = 0; i < alias.blockCount; ++i) completed += decodeBlock(block(i));
    EXPECT_EQ(completed, 1) << length;
    EXPECT_EQ(lines.back(), "TA = " + text.substr(0, length) + "\n");
  }
}

TEST_F(TalkerAliasTest, Utf8TextIsSentAsIsoOneBytePerCharacter) {
  alias.encode("J\xC3\xBCrgen \xE2\x82\xAC");  // "Jürgen €": eight characters, the last not in ISO 8859-1
  EXPECT_EQ(alias.blockCount, 2);
  EXPECT_EQ(block(0), (Bytes{0x04, 0x00, 0x50, 'J', 0xFC, 'r', 'g', 'e', 'n'}));
  EXPECT_EQ(block(1), (Bytes{0x05, 0x00, ' ', '?', 0, 0, 0, 0, 0}));
  alias.encode("J\xFCrgen");  // ISO 8859-1 bytes are taken as such
  EXPECT_EQ(block(0), (Bytes{0x04, 0x00, 0x4C, 'J', 0xFC, 'r', 'g', 'e', 'n'}));

  std::string thirty;
  for (int i = 0; i < 30; ++i) thirty += "\xC3\xBC";
  alias.encode(thirty.c_str());  // the limit counts characters, not bytes
  EXPECT_EQ(alias.blockCount, 4);
  EXPECT_EQ(alias.talkerAliasBytes[0][2], 0x76);
  EXPECT_EQ(block(3), (Bytes{0x07, 0x00, 0xFC, 0xFC, 0xFC, 0xFC, 0xFC, 0xFC, 0xFC}));
}

TEST_F(TalkerAliasTest, EveryFormatIsLoggedInUtf8AtTheBlockOfItsLastCharacter) {
  // 7-bit: from bit 0 of header byte 2 on, seven characters in the header and eight in block 1.
  EXPECT_EQ(decodeBlock({0x04, 0x00, 0x15, 0x42, 0x0B, 0x08, 0x30, 0xA1, 0xA0}), 0);
  EXPECT_EQ(decodeBlock({0x05, 0x00, 0x85, 0xBF, 0x10, 0, 0, 0, 0}), 1);
  // UTF-16 big-endian, the length in characters: six of them take twelve bytes.
  EXPECT_EQ(decodeBlock({0x04, 0x00, 0xCC, 0x00, 'J', 0x00, 0xFC, 0x00, 'r'}), 0);
  EXPECT_EQ(decodeBlock({0x05, 0x00, 0x00, 'g', 0x00, 'e', 0x00, 'n', 0x00}), 1);
  // ISO 8859-1, one byte per character.
  EXPECT_EQ(decodeBlock({0x04, 0x00, 0x4C, 'J', 0xFC, 'r', 'g', 'e', 'n'}), 1);
  // UTF-8, the length in bytes: seven, so block 1 completes it.
  EXPECT_EQ(decodeBlock({0x04, 0x00, 0x8E, 'J', 0xC3, 0xBC, 'r', 'g', 'e'}), 0);
  EXPECT_EQ(decodeBlock({0x05, 0x00, 'n', 0, 0, 0, 0, 0, 0}), 1);
  // A line break or an escape sequence in an alias never reaches the log raw.
  EXPECT_EQ(decodeBlock({0x04, 0x00, 0x4C, '\n', 'F', ':', ' ', 0x1B, 'c'}), 1);
  EXPECT_EQ(lines, (std::vector<std::string>{"taFormat = 0\n", "TA = PA0ABC Bob\n", "taFormat = 3\n",
                                             "TA = J\xC3\xBCrgen\n", "taFormat = 1\n", "TA = J\xC3\xBCrgen\n",
                                             "taFormat = 2\n", "TA = J\xC3\xBCrgen\n", "taFormat = 1\n",
                                             "TA = \\nF: \\x1bc\n"}));
}

TEST_F(TalkerAliasTest, SubstituteReplacesEveryOccurrenceOnce) {
  EXPECT_EQ(alias.substitute("%callsign %name (%callsign)", "%callsign", "AB"), "AB %name (AB)");
  EXPECT_EQ(alias.substitute("x%callsign-%callsign", "%callsign", "%callsign!"), "x%callsign!-%callsign!");
  EXPECT_EQ(alias.substitute("%name", "%callsign", "AB"), "%name");
  EXPECT_EQ(alias.substitute("%callsign", "", "AB"), "%callsign");
  EXPECT_EQ(alias.substitute("%callsign%callsign", "%callsign", ""), "");
}

TEST_F(TalkerAliasTest, TemplateIsKeptApartFromTheEncodedAlias) {
  alias.setTaString("%callsign %name");
  alias.encode("other");
  EXPECT_EQ(alias.getTaString(), "%callsign %name");
}

TEST_F(TalkerAliasTest, SendTransmitsTheEncodedBlocksAsVoicePackets) {
  RewindSimulator sim;
  sim.setPassword("pw");
  ASSERT_TRUE(sim.start("127.0.0.1", 0)) << sim.error();
  ODMRTP_CLASS client(4660, ZELK_NAME "_" ZELK_VERSION);
  ASSERT_EQ(client.ConnectRewindClient("127.0.0.1", std::to_string(sim.port()).c_str(), "pw", 91), 0);
  sim.waitForPacketCount(6, 2000);  // the whole login exchange, its last keep-alive included
  sim.clearPackets();

  alias.encode("DL1ABC Bob");
  alias.send(&client);
  alias.encode("");
  alias.send(&client);  // nothing to send
  client.endTransmission();
  ASSERT_TRUE(sim.waitForPacketCount(3, 2000));
  std::vector<SimPacket> got = sim.packets();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].type, REWIND_TYPE_DMR_EMBEDDED_DATA);
  EXPECT_EQ(got[0].flags, 1);
  EXPECT_EQ(got[0].sequence, 0u);
  EXPECT_EQ(got[0].payload, (Bytes{0x04, 0x00, 0x54, 'D', 'L', '1', 'A', 'B', 'C'}));
  EXPECT_EQ(got[1].payload, (Bytes{0x05, 0x00, ' ', 'B', 'o', 'b', 0, 0, 0}));
  EXPECT_EQ(got[1].sequence, 1u);
  EXPECT_EQ(got[2].sequence, 2u);
}

}  // namespace
