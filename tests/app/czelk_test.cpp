// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge's handlers driven directly, without threads or a network service:
// what reaches the partner and what is logged for each kind of input.
#include "app/czelk.h"

#include "app/bridge_components.h"
#include "local/tlv_event.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/settings.h"
#include "common/process.h"
#include "local/tlv_class.h"
#include "network/rewind_data.h"
#include "telemetry/log_class.h"
#include "tools/partner/partner_link.h"
#include "version.h"

namespace {

using testing_support::freeUdpPort;

class BridgeHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    resetSettings(&settings);
    int rxPort = freeUdpPort();
    ASSERT_TRUE(partner.open(0, "127.0.0.1", rxPort));
    settings.txPort = static_cast<uint32_t>(partner.port());
    settings.rxPort = static_cast<uint32_t>(rxPort);
    logInstance.setLogLevel(1);
    logInstance.setLineObserver(
        [](void* context, unsigned int, const char* line) {
          static_cast<std::vector<std::string>*>(context)->push_back(line + LOG_CLASS::kPrefixLength);
        },
        &lines);
    bridge = std::make_unique<BridgeComponents>(&settings, done);
  }
  void TearDown() override {
    bridge.reset();
    logInstance.setLineObserver(nullptr, nullptr);
    logInstance.setLogLevel(2);
    freeSettings(&settings);
  }

  void tlv(const Datagram& d) {
    TLV_CLASS message(d[0], d[1], d.data() + 2);
    bridge->dispatcher.handle(&message);
  }

  void rewind(uint16_t type, const std::vector<uint8_t>& payload) {
    alignas(RewindData) uint8_t buffer[64] = {};
    writeRewindHeader(buffer, type, 0, 0, static_cast<uint16_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), buffer + REWIND_HEADER_SIZE);
    bridge->handler.process(reinterpret_cast<RewindData*>(buffer), static_cast<int>(REWIND_HEADER_SIZE + payload.size()));
  }

  bool logged(const std::string& text) const {
    for (const std::string& l : lines) {
      if (l == text) return true;
    }
    return false;
  }

  Settings_t settings{};
  PartnerLink partner;
  std::vector<std::string> lines;
  std::atomic<bool> done{false};
  std::unique_ptr<BridgeComponents> bridge;
};

TEST_F(BridgeHandlers, EventIsOneTlvMessageCountingItsZeroByte) {
  sendTlvEvent(*bridge->localLink, "trelvane/ZELK/DMR", "login success");
  ASSERT_TRUE(partner.waitForCount(TAG_EVENT, 1, 5000));
  Datagram event = partner.received().at(0);
  std::string text = "{\"topic\":\"trelvane/ZELK/DMR\",\"message\":\"login success\"}";
  Datagram expected{TAG_EVENT, 56};
  expected.insert(expected.end(), text.begin(), text.end());
  expected.push_back(0);
  EXPECT_EQ(event, expected);
  EXPECT_STREQ(CZELK::getAppName(), ZELK_NAME "_" ZELK_VERSION);
  EXPECT_EQ(CZELK::getAppName(), CZELK::getAppName());
}

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
  int64_t now = 0;
  bridge->link.setClock([&] { return now; });
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
  now = 1000;
  rewind(REWIND_TYPE_DMR_VOICE_FRAME, burst);
  now = 2000;
  rewind(REWIND_TYPE_DMR_EMBEDDED_DATA, {4, 0, 0x4A, 'D', 'L', '1', 'A', 'B', 'C'});
  now = 3499;
  bridge->handler.endQuietNetworkCall();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "DMR, ODMR End Tx:DMR frame count was 2 frames\n"), 3);
  now = 3500;
  bridge->handler.endQuietNetworkCall();
  bridge->handler.endQuietNetworkCall();  // idle now: nothing more
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, 5000));
  EXPECT_EQ(tags(partner.received()), (std::vector<int>{V, E}));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "DMR, ODMR End Tx:DMR frame count was 2 frames\n"), 4);
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

TEST_F(BridgeHandlers, PartnerMessagesTooShortForTheirFieldsAreDropped) {
  tlv({TAG_BEGIN_TX, 11, 0, 0, 1, 0, 0, 0, 0, 0, 0, 91, 1});
  tlv({TAG_SET_INFO, 0});
  tlv({TAG_AMBE_72, 2, 1, 2});
  EXPECT_TRUE(logged("DMR, TLV tag 0 with 11 value bytes is too short, dropped\n"));
  EXPECT_TRUE(logged("DMR, TLV tag 8 with 0 value bytes is too short, dropped\n"));
  EXPECT_TRUE(logged("DMR, TLV tag 7 with 2 value bytes is too short, dropped\n"));
  EXPECT_FALSE(logged("TAG_AMBE_72\n"));
}

TEST_F(BridgeHandlers, OtherTagsAreLoggedOrRefused) {
  tlv({1, 0});
  tlv({200, 2, 9, 9});
  tlv({TAG_IMBE, 0});
  tlv({TAG_NOP, 0});
  Datagram info = PartnerLink::beginTx(7, 91, "hi", 0xFFFFFFFF);
  info[0] = TAG_SET_INFO;
  tlv(info);
  EXPECT_TRUE(logged("tlv tag=1 len=0\n"));
  EXPECT_TRUE(logged("tlv tag=c8 len=2\n"));
  EXPECT_TRUE(logged("DMR, got DSAMBE/IMBE/AMBE49 (TAG=TAG_IMBE)and expected AMBE (change to 72 bits)\n"));
  EXPECT_TRUE(logged("TAG_NOP\n"));
  EXPECT_TRUE(logged("DMR, TAG_SET_INFO: src=7 rpt=-1 dst=91 slot=1 cc=1 metadata=hi\n"));
}

TEST_F(BridgeHandlers, CommandsAreReadUpToTheirLengthAndBadReconnectsIgnored) {
  tlv(PartnerLink::remoteCommand("setTA=ABC", false));
  tlv(PartnerLink::beginTx(7, 91, ""));
  EXPECT_TRUE(logged("DMR, Remote CMD: setTA=ABC\n"));
  EXPECT_TRUE(logged("DMR, Begin TX: src=7 rpt=0 dst=91 slot=1 cc=1 metadata=\n"));
  tlv(PartnerLink::remoteCommand("txTg=secret@host-only"));
  EXPECT_TRUE(logged("DMR, Remote CMD: txTg=********@host-only\n"));
  EXPECT_TRUE(logged("DMR, Remote CMD: reconnect needs password@host:port!tg, ignored\n"));
  tlv(PartnerLink::remoteCommand("hello"));
  EXPECT_TRUE(logged("DMR, Remote CMD: hello\n"));
}

// The daemon gives up by itself (the server's name never resolves) while the signal
// thread's exit path runs: the two race, and neither may reach a destroyed bridge.
// Each round ends its own process with status 0: through exitApp when the signal
// path wins, or with "No object to close" when the destructor wins. A sanitizer
// report would end it otherwise.
// A positive delay holds the signal path back, a negative one the destructor; with
// signalFirst the destructor waits until exitApp has begun.
void raceSignalWithDestructor(int delayUs, bool signalFirst) {
  Settings_t settings{};
  resetSettings(&settings);
  free(settings.bmAddress);
  settings.bmAddress = strdup("no-such-server.invalid");
  settings.rxPort = 0;
  settings.txPort = 9;
  logInstance.setLogLevel(3);
  static std::atomic<bool> exiting{false};
  logInstance.setLineObserver(
      [](void*, unsigned int, const char* line) {
        if (strstr(line, "exitApp") != nullptr) exiting = true;
      },
      nullptr);
  auto* bridge = new CZELK(&settings);
  if (!bridge->isDone()) _exit(3);
  std::atomic<bool> go{false};
  auto spin = [](int us) {
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    while (std::chrono::steady_clock::now() < until) {
    }
  };
  std::thread signals([&] {
    while (!go) {
    }
    spin(delayUs);
    CZELK::exitIfRunning(0);
    _exit(0);
  });
  go = true;
  spin(-delayUs);
  for (int i = 0; signalFirst && !exiting && i < 1000; ++i) usleep(1000);
  delete bridge;
  signals.join();
}

TEST(BridgeExit, SignalRacingTheDestructorNeverReachesADestroyedBridge) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(raceSignalWithDestructor(0, true), ::testing::ExitedWithCode(0), "");
  for (int delayUs : {-200, -50, -10, 0, 10, 50, 200}) {
    EXPECT_EXIT(raceSignalWithDestructor(delayUs, false), ::testing::ExitedWithCode(0), "") << delayUs;
  }
}

TEST_F(BridgeHandlers, IsoAndUtf8MetadataGiveTheSameAlias) {
  bridge->alias.setTaString("%callsign %name");
  auto aliasBlocks = [] { return std::vector<uint8_t>(&talkerAliasBytes[0][0], &talkerAliasBytes[0][0] + 36); };
  tlv(PartnerLink::beginTx(7, 91, "{\"call\":\"AB1CD\",\"name\":\"J\xFCrgen\"}"));
  std::vector<uint8_t> fromIso = aliasBlocks();
  tlv(PartnerLink::beginTx(7, 91, "{\"call\":\"AB1CD\",\"name\":\"J\xC3\xBCrgen\"}"));
  EXPECT_EQ(aliasBlocks(), fromIso);
  EXPECT_EQ(std::vector<uint8_t>(fromIso.begin(), fromIso.begin() + 18),
            (std::vector<uint8_t>{0x04, 0x00, 0x58, 'A', 'B', '1', 'C', 'D', ' ',  //
                                  0x05, 0x00, 'J', 0xFC, 'r', 'g', 'e', 'n', 0}));
  const std::string shown = "{\"call\":\"AB1CD\",\"name\":\"J\xC3\xBCrgen\"}";  // both in UTF-8
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "DMR, Begin TX: src=7 rpt=0 dst=91 slot=1 cc=1 metadata=" + shown + "\n"),
            2);
}

TEST_F(BridgeHandlers, OutsideTextNeverStartsALogLine) {
  testing_support::TempDir dir;
  dir.write("ids.csv", "4660,AB1CD,Ann\rF: forged\n");  // a CR sends a terminal back to the line start
  bridge.reset();  // built again with the table
  settings.subscriberFile = strdup(dir.file("ids.csv").c_str());
  bridge = std::make_unique<BridgeComponents>(&settings, done);

  const std::string forged = "x\nF: 2026-01-01 00:00:00.000 forged\x1b[2J";
  rewind(REWIND_TYPE_DMR_DATA_BASE + 1, {0, 0, 0, 0, 0, 91, 0, 0x12, 0x34, 0, 0, 0});
  rewind(REWIND_TYPE_DMR_EMBEDDED_DATA, {4, 0, 0x4C, 'x', '\n', 'F', ':', ' ', 'y'});
  tlv(PartnerLink::beginTx(7, 91, forged));
  Datagram info = PartnerLink::beginTx(7, 91, forged);
  info[0] = TAG_SET_INFO;
  tlv(info);
  tlv(PartnerLink::remoteCommand("setTA=" + forged));
  tlv(PartnerLink::remoteCommand("txTg=pass\n@host\n\x1b[2J"));  // no port: ignored, not tried

  const std::string shown = "x\\nF: 2026-01-01 00:00:00.000 forged\\x1b[2J";
  EXPECT_TRUE(logged("DMR, ODMR Begin Tx: src = AB1CD, dst = 91 (GROUP) (Ann\\rF: forged)\n"));
  EXPECT_TRUE(logged("TA = x\\nF: y\n"));
  EXPECT_TRUE(logged("DMR, Begin TX: src=7 rpt=0 dst=91 slot=1 cc=1 metadata=" + shown + "\n"));
  EXPECT_TRUE(logged("DMR, TAG_SET_INFO: src=7 rpt=0 dst=91 slot=1 cc=1 metadata=" + shown + "\n"));
  EXPECT_TRUE(logged("DMR, Remote CMD: setTA=" + shown + "\n"));
  EXPECT_TRUE(logged("DMR, Remote CMD: txTg=********@host\\n\\x1b[2J\n"));
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find_first_of("\r\x1b"), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
  }
}

}  // namespace
