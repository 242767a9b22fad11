// SPDX-License-Identifier: GPL-2.0-or-later
// The network message handler driven directly, packet by packet, without threads:
// what reaches the partner and what is logged for each kind of server packet.
#include "network/odmr_message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/handler_fixture.h"
#include "local/tlv_class.h"
#include "network/link_watch.h"
#include "network/rewind_data.h"
#include "network/talker_alias.h"
#include "support/cudp.h"

namespace {

class BridgeHandlers : public testing_support::HandlerTest {
 protected:
  void SetUp() override {
    HandlerTest::SetUp();
    if (HasFatalFailure()) return;
    endpoint = openEndpoint();
    handler = std::make_unique<ODMRMessageHandler>(*endpoint, link, alias, nullptr, events);
  }

  void rewind(uint16_t type, const std::vector<uint8_t>& payload) { HandlerTest::rewind(*handler, type, payload); }

  std::unique_ptr<CUDP> endpoint;
  LinkWatch link;
  TalkerAlias alias;
  std::unique_ptr<ODMRMessageHandler> handler;
};

TEST_F(BridgeHandlers, ShortServerPacketsAreDroppedNotFilledWithStaleBytes) {
  std::vector<uint8_t> header = {0, 0, 0, 0, 0, 0x5B, 0, 0x12, 0x34, 0, 0, 0};
  std::vector<uint8_t> burst(27, 0xAB);
  rewind(REWIND_TYPE_DMR_VOICE_FRAME, burst);
  rewind(REWIND_TYPE_DMR_VOICE_FRAME, std::vector<uint8_t>(10, 0xCD));  // 28 bytes: too short
  rewind(REWIND_TYPE_DMR_DATA_BASE + 1, std::vector<uint8_t>(header.begin(), header.begin() + 8));
  rewind(REWIND_TYPE_DMR_DATA_BASE + 2, {});
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, 5000));
  auto got = partner.received();
  ASSERT_EQ(got.size(), 2u);  // the full burst, then the end; no begin, no second burst
  EXPECT_EQ(got[0][0], TAG_AMBE_72);
  EXPECT_TRUE(logged("DMR, Rewind packet type 920 of 28 bytes is too short, dropped\n"));
  EXPECT_TRUE(logged("DMR, ODMR End Tx:DMR frame count was 1 frames\n"));
}

TEST_F(BridgeHandlers, NetworkCallEndsAtAnotherCallersHeaderOrAfterSilence) {
  ManualTime time(0);
  link.setClock(Clock(&time));
  const std::vector<uint8_t> first = {0, 0, 0, 0, 0, 91, 0, 0x12, 0x34, 0, 0, 0};
  std::vector<uint8_t> otherSource = first, otherGroup = first, privateCall = first;
  otherSource[8] = 0x35;
  otherGroup[5] = 92;
  privateCall[0] = 3;
  std::vector<uint8_t> burst(27, 0xAB);

  // Each header that differs in source, destination or call type ends the call
  // before it; a repeated header only counts.
  rewind(REWIND_TYPE_DMR_DATA_BASE + 1, first);
  rewind(REWIND_TYPE_DMR_VOICE_FRAME, burst);
  rewind(REWIND_TYPE_DMR_DATA_BASE + 1, first);
  for (const auto& header : {otherSource, otherGroup, privateCall}) {
    rewind(REWIND_TYPE_DMR_DATA_BASE + 1, header);
    rewind(REWIND_TYPE_DMR_VOICE_FRAME, burst);
  }
  // A call begun by bursts has no header to repeat: a header begins a call.
  rewind(REWIND_TYPE_DMR_DATA_BASE + 2, {});
  rewind(REWIND_TYPE_DMR_VOICE_FRAME, burst);
  rewind(REWIND_TYPE_DMR_DATA_BASE + 1, first);
  ASSERT_TRUE(partner.waitForCount(TAG_BEGIN_TX, 5, 5000));
  auto tags = [](const std::vector<Datagram>& got) {
    std::vector<int> list;
    for (const Datagram& d : got) list.push_back(d[0]);
    return list;
  };
  const int B = TAG_BEGIN_TX, V = TAG_AMBE_72, E = TAG_END_TX;
  EXPECT_EQ(tags(partner.received()), (std::vector<int>{B, V, E, B, V, E, B, V, E, B, V, E, V, E, B}));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "DMR, ODMR End Tx:DMR frame count was 3 frames\n"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "DMR, ODMR End Tx:DMR frame count was 2 frames\n"), 3);
  EXPECT_TRUE(logged("DMR, ODMR Begin Tx: src = 4660, dst = 91 (PRIVATE)\n"));

  // The call now in progress, kept alive by a burst and an alias block, ends 1.5 s
  // after its last voice packet.
  partner.clear();
  time.setMonotonicMs(1000);
  rewind(REWIND_TYPE_DMR_VOICE_FRAME, burst);
  time.setMonotonicMs(2000);
  rewind(REWIND_TYPE_DMR_EMBEDDED_DATA, {4, 0, 0x4A, 'D', 'L', '1', 'A', 'B', 'C'});
  time.setMonotonicMs(3499);
  handler->endQuietNetworkCall();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "DMR, ODMR End Tx:DMR frame count was 2 frames\n"), 3);
  time.setMonotonicMs(3500);
  handler->endQuietNetworkCall();
  handler->endQuietNetworkCall();  // idle now: nothing more
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, 5000));
  EXPECT_EQ(tags(partner.received()), (std::vector<int>{V, E}));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "DMR, ODMR End Tx:DMR frame count was 2 frames\n"), 4);
}

// With a playout delay the voice waits its turn, and the call's watchdog does not
// end a call while some of it still waits: here a burst that came after a pause
// of the road and sits out its delay when the 1.5 s since the last played voice
// are over.
TEST_F(BridgeHandlers, PlayoutDelaysVoiceAndHoldsOffTheWatchdogWhileVoiceWaits) {
  ManualTime time(0);
  link.setClock(Clock(&time));
  handler = std::make_unique<ODMRMessageHandler>(*endpoint, link, alias, nullptr, events, 1000);
  int64_t now = 0;
  // As the connection service's loop: wake at each due time until `until`.
  auto runUntil = [&](int64_t until) {
    for (int steps = 0; steps < 100 && now < until; ++steps) {
      int64_t wait = until - now;
      for (int64_t due : {handler->msUntilPlayoutDue(), handler->msUntilNetworkCallTimeout()}) {
        if (due >= 0 && due < wait) wait = due;
      }
      now += std::max<int64_t>(wait, 1);
      time.setMonotonicMs(now);
      handler->playDue();
      handler->endQuietNetworkCall();
    }
  };
  auto arrive = [&](uint16_t type, uint32_t sequence, const std::vector<uint8_t>& payload) {
    alignas(RewindData) uint8_t buffer[64] = {};
    writeRewindHeader(buffer, type, REWIND_FLAG_REAL_TIME_1, sequence, static_cast<uint16_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), buffer + REWIND_HEADER_SIZE);
    handler->process(reinterpret_cast<RewindData*>(buffer), static_cast<int>(REWIND_HEADER_SIZE + payload.size()));
  };
  arrive(REWIND_TYPE_DMR_DATA_BASE + 1, 0, {0, 0, 0, 0, 0, 91, 0, 0x12, 0x34, 0, 0, 0});
  runUntil(60);
  arrive(REWIND_TYPE_DMR_VOICE_FRAME, 1, std::vector<uint8_t>(27, 0xAB));
  runUntil(999);
  EXPECT_TRUE(partner.received().empty());
  runUntil(1800);  // begin at 1000, the burst at 1060, two turns of silence
  arrive(REWIND_TYPE_DMR_VOICE_FRAME, 4, std::vector<uint8_t>(27, 0xCD));
  runUntil(2790);  // past 1180 + 1500: the watchdog would have ended the call
  EXPECT_FALSE(logged("DMR, ODMR End Tx:DMR frame count was 5 frames\n"));
  runUntil(5000);
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, 5000));
  auto got = partner.received();
  ASSERT_EQ(got.size(), 8u);
  const Datagram silence = {TAG_AMBE_72, 28, 1, 0xB9, 0xE8, 0x81, 0x52, 0x61, 0x73, 0x00, 0x2A, 0x6B,
                            0xB9, 0xE8, 0x81, 0x52, 0x61, 0x73, 0x00, 0x2A, 0x6B,
                            0xB9, 0xE8, 0x81, 0x52, 0x61, 0x73, 0x00, 0x2A, 0x6B};
  for (int i : {2, 3, 5, 6}) EXPECT_EQ(got[i], silence) << i;
  EXPECT_EQ(got[4][3], 0xCD);
  EXPECT_TRUE(logged("DMR, ODMR End Tx:DMR frame count was 7 frames\n"));
  const StatusSnapshot shown = board.snapshot();
  ASSERT_FALSE(shown.lastHeard.empty());
  EXPECT_EQ(shown.lastHeard[0].quality.filled, 4u);
}

TEST_F(BridgeHandlers, ServerPacketTypesAreLoggedByName) {
  rewind(REWIND_TYPE_BUSY_NOTICE, {});
  rewind(0x0A02, {});
  rewind(0x0A05, {});
  rewind(REWIND_TYPE_DMR_EMBEDDED_DATA, {3, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_TRUE(logged("REWIND_TYPE_BUSY_NOTICE\n"));
  EXPECT_TRUE(logged("\n"));
  EXPECT_TRUE(logged("unknown type A05\n"));
  EXPECT_TRUE(logged("REWIND_TYPE_DMR_EMBEDDED_DATA\n"));
  EXPECT_FALSE(logged("DMR, TA block header 3\n"));
}

TEST_F(BridgeHandlers, AliasIsDecodedOncePerCall) {
  std::vector<uint8_t> header = {0, 0, 0, 0, 0, 91, 0, 0x12, 0x34, 0, 0, 0};
  rewind(REWIND_TYPE_DMR_DATA_BASE + 1, header);
  rewind(REWIND_TYPE_DMR_EMBEDDED_DATA, {4, 0, 0x4A, 'D', 'L', '1', 'A', 'B', 'C'});  // 5 characters
  rewind(REWIND_TYPE_DMR_EMBEDDED_DATA, {4, 0, 0x4A, 'D', 'L', '1', 'A', 'B', 'C'});
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "TA = DL1AB\n"), 1);
  EXPECT_TRUE(logged("TA Format = 1, len = 5\n"));
  rewind(REWIND_TYPE_DMR_DATA_BASE + 2, {});
  rewind(REWIND_TYPE_DMR_DATA_BASE + 1, header);  // the next call decodes again
  rewind(REWIND_TYPE_DMR_EMBEDDED_DATA, {4, 0, 0x4A, 'D', 'L', '1', 'A', 'B', 'C'});
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "TA = DL1AB\n"), 2);
}

}  // namespace
