// SPDX-License-Identifier: GPL-2.0-or-later
// Faults of the local partner, injected against the real binary: a flood of
// malformed datagrams interleaved with a valid call.
#include <random>

#include "faults/fault_fixture.h"

namespace faults {
namespace {


// Malformed in every way the link allows, none of them a message that would
// change the call: a length byte that disagrees with the datagram, one byte,
// oversize, values too short for their tag, codecs the daemon does not carry,
// unknown tags.
Datagram malformed(std::mt19937& random, int kind) {
  Datagram d;
  switch (kind % 8) {
    case 0:
      d.resize(2 + random() % 200);
      for (uint8_t& b : d) b = static_cast<uint8_t>(random());
      d[1] = static_cast<uint8_t>(d.size() - 2 + 1 + random() % 50);  // never the real length
      break;
    case 1:
      d = {static_cast<uint8_t>(random())};
      break;
    case 2:
      d.assign(300 + random() % 100, 0x07);
      break;
    case 3:
      d = {TAG_BEGIN_TX, 5, 1, 2, 3, 4, 5};
      break;
    case 4:
      d = {TAG_AMBE_72, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
      break;
    case 5:
      d = {TAG_SET_INFO, 3, 0, 0, 1};
      break;
    case 6:
      d = {static_cast<uint8_t>(TAG_AMBE_49 + random() % 2 * 3), 4, 0, 0, 0, 0};  // AMBE 49 or IMBE
      break;
    default:
      d = {static_cast<uint8_t>(14 + random() % 200), 3, 'x', 'y', 'z'};
      break;
  }
  return d;
}

TEST_F(Faults, PartnerMalformedFloodInterleavedWithValidCallKeepsEveryFrame) {
  startAndLogIn();
  localCallArrivesWhole(40);  // warm-up
  long before = residentKb(zelk->pid());
  ASSERT_GT(before, 0);

  sim.clearPackets();
  std::mt19937 random(3);
  int kind = 0;
  partner.send(PartnerLink::beginTx(2345678, 91));
  for (uint32_t voice = 0; voice < 100; ++voice) {
    for (int i = 0; i < 100; ++i) partner.send(malformed(random, kind++));
    partner.send(PartnerLink::voice(voice));
    // Each voice message waits behind the malformed ones: once it reached the
    // server they were all read, so the socket never overflows.
    ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_DMR_VOICE_FRAME, voice + 1, kWaitMs)) << "voice " << voice;
  }
  partner.send(PartnerLink::endTx());
  ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_DMR_DATA_BASE + 2, 1, kWaitMs));

  EXPECT_EQ(burstNumbersAtServer(sim), countingFrom<uint32_t>(0, 100));
  EXPECT_EQ(sim.packetsOfType(REWIND_TYPE_DMR_DATA_BASE + 1).size(), 3u);
  EXPECT_EQ(sim.packetsOfType(REWIND_TYPE_DMR_DATA_BASE + 2).size(), 1u);
  std::string out = zelk->output();
  EXPECT_GE(countOccurrences(out, "TLV length does not match UDP/serial bytes received"), 3000);
  EXPECT_GE(countOccurrences(out, "is too short, dropped\n"), 3000);
  // A one-byte datagram has no length byte and is never a message.
  EXPECT_GE(countOccurrences(out, "(got 1 and tlv says -1)\n"), 1000);

  localCallArrivesWhole(40, 500);
  long after = residentKb(zelk->pid());
  RecordProperty("resident_kb_before", static_cast<int>(before));
  RecordProperty("resident_kb_after", static_cast<int>(after));
  printf("partner flood: 10000 malformed datagrams, resident %ld kB before, %ld kB after\n", before, after);
  EXPECT_LE(after, before + 8192) << "resident size grew from " << before << " kB to " << after << " kB";
  EXPECT_TRUE(zelk->running());
}

}  // namespace
}  // namespace faults
