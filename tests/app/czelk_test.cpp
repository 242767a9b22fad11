// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge's parts together, driven directly without threads or a network
// service, and the bridge's exit racing its destructor. The dispatcher and the
// network handler alone have their tests beside their code.
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
#include "common/handler_fixture.h"
#include "common/process.h"
#include "local/tlv_class.h"
#include "network/rewind_data.h"
#include "telemetry/log_class.h"
#include "tools/partner/partner_link.h"
#include "version.h"

namespace {

// A whole set of bridge parts, for what passes through more than one of them: the
// event sender and the application name, the alias wiring between dispatcher and
// encoder, and text from outside on both roads.
class BridgeHandlers : public testing_support::HandlerTest {
 protected:
  void SetUp() override {
    resetSettings(&settings);
    HandlerTest::SetUp();
    if (HasFatalFailure()) return;
    settings.txPort = static_cast<uint32_t>(partner.port());
    settings.rxPort = static_cast<uint32_t>(daemonPort);
    bridge = std::make_unique<BridgeComponents>(&settings, done, board, notifier);
  }
  void TearDown() override {
    bridge.reset();
    HandlerTest::TearDown();
    freeSettings(&settings);
  }

  void tlv(const Datagram& d) { HandlerTest::tlv(bridge->dispatcher, d); }
  void rewind(uint16_t type, const std::vector<uint8_t>& payload) { HandlerTest::rewind(bridge->handler, type, payload); }

  Settings_t settings{};
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
  static StatusBoard board;
  static SystemdNotifier notifier;
  auto* bridge = new CZELK(&settings, board, notifier);
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
    CZELK::exitIfRunning(0);  // ends the process unless the destructor came first
  });
  go = true;
  spin(-delayUs);
  for (int i = 0; signalFirst && !exiting && i < 1000; ++i) usleep(1000);
  delete bridge;
  // Only after the destructor has joined the workers: ending the process while a
  // finished worker is not yet joined is a thread leak to ThreadSanitizer.
  signals.join();
  _exit(0);
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
  auto aliasBlocks = [this] {
    const unsigned char* blocks = &bridge->alias.talkerAliasBytes[0][0];
    return std::vector<uint8_t>(blocks, blocks + 36);
  };
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
  bridge = std::make_unique<BridgeComponents>(&settings, done, board, notifier);

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
