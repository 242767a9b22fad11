// SPDX-License-Identifier: GPL-2.0-or-later
// A subscriber file that is missing when the daemon starts and appears later: the
// daily reload picks it up, and keeps it when the file goes away again. The
// bridge's network handler runs in this process with a substituted clock, so the
// day passes at once.
#include <string.h>
#include <unistd.h>

#include <mutex>

#include "app/bridge_components.h"
#include "app/settings.h"
#include "faults/fault_fixture.h"
#include "support/subscriber.h"
#include "telemetry/log_class.h"
#include "telemetry/status_board.h"
#include "telemetry/systemd_notifier.h"

namespace faults {
namespace {

struct Lines {
  std::mutex mutex;
  std::string text;
  static void observe(void* context, unsigned int, const char* line) {
    Lines* lines = static_cast<Lines*>(context);
    std::lock_guard<std::mutex> lock(lines->mutex);
    lines->text += line + LOG_CLASS::kPrefixLength;
  }
  std::string take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::string all;
    all.swap(text);
    return all;
  }
};

class SubscriberFault : public ::testing::Test {
 protected:
  void SetUp() override {
    logInstance.setLogLevel(LOG_INFO);
    logInstance.setLineObserver(Lines::observe, &lines);
    resetSettings(&settings);
    free(settings.subscriberFile);
    settings.subscriberFile = strdup(dir.file("subscriber_ids.csv").c_str());
    // The partner's socket takes datagrams only from the port it aims at.
    int rxPort = freeUdpPort();
    ASSERT_TRUE(partner.open(0, "127.0.0.1", rxPort));
    settings.txPort = static_cast<uint32_t>(partner.port());
    settings.rxPort = static_cast<uint32_t>(rxPort);
  }
  void TearDown() override {
    logInstance.setLineObserver(nullptr, nullptr);
    freeSettings(&settings);
  }

  // A voice header from the source and a terminator, as the server sends them.
  void networkCallFrom(BridgeComponents& bridge, uint32_t source) {
    alignas(RewindData) uint8_t packet[REWIND_HEADER_SIZE + REWIND_VOICE_HEADER_SIZE] = {};
    writeRewindHeader(packet, REWIND_TYPE_DMR_DATA_BASE + 1, 1, 0, REWIND_VOICE_HEADER_SIZE);
    writeBE24(packet + REWIND_HEADER_SIZE + 3, 91);
    writeBE24(packet + REWIND_HEADER_SIZE + 6, source);
    bridge.handler.process(reinterpret_cast<RewindData*>(packet), sizeof(packet));
    writeRewindHeader(packet, REWIND_TYPE_DMR_DATA_BASE + 2, 1, 1, 0);
    bridge.handler.process(reinterpret_cast<RewindData*>(packet), REWIND_HEADER_SIZE);
  }

  TempDir dir;
  PartnerLink partner;
  Settings_t settings{};
  Lines lines;
  ManualTime time;  // the bridge's clock: only its wall time moves here
  StatusBoard board;
  SystemdNotifier notifier;
};

TEST_F(SubscriberFault, MissingFileAtStartIsLoadedByTheDailyReload) {
  std::atomic<bool> done{false};
  BridgeComponents bridge(&settings, done, board, notifier, Clock(&time));
  EXPECT_NE(lines.take().find("Subscriber IDs file not found.\n"), std::string::npos);
  networkCallFrom(bridge, 4660);
  EXPECT_NE(lines.take().find("DMR, ODMR Begin Tx: src = 4660, dst = 91 (GROUP)\n"), std::string::npos);

  dir.write("subscriber_ids.csv", "4660,AB1CDE,Ann\n2345678,N0CALL,Bob\n");
  time.stepWallMs(3600 * 1000);  // an hour later the table is not yet reloaded
  networkCallFrom(bridge, 4660);
  EXPECT_NE(lines.take().find("src = 4660, dst = 91 (GROUP)\n"), std::string::npos);

  time.stepWallMs(24 * 3600 * 1000);  // a day after the start it is, beside the call
  networkCallFrom(bridge, 4660);
  bridge.subscribers->waitForReload();  // the reload runs on its own thread
  networkCallFrom(bridge, 4660);
  std::string after = lines.take();
  EXPECT_NE(after.find("src = 4660, dst = 91 (GROUP)\n"), std::string::npos) << after;
  EXPECT_NE(after.find("Subscriber IDs loaded: 2\n"), std::string::npos) << after;
  EXPECT_NE(after.find("DMR, ODMR Begin Tx: src = AB1CDE, dst = 91 (GROUP) (Ann)\n"), std::string::npos) << after;

  // A file gone at the next reload leaves the table as it was.
  unlink(dir.file("subscriber_ids.csv").c_str());
  time.stepWallMs(24 * 3600 * 1000 + 1);
  networkCallFrom(bridge, 4660);
  bridge.subscribers->waitForReload();  // the reload runs on its own thread
  networkCallFrom(bridge, 4660);
  after = lines.take();
  EXPECT_NE(after.find("Subscriber IDs file not found.\n"), std::string::npos) << after;
  EXPECT_EQ(after.find("src = 4660"), std::string::npos) << after;

  // Every call still went to the partner: six begins and six ends.
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 6, kWaitMs));
  EXPECT_EQ(PartnerLink::countTag(partner.received(), TAG_BEGIN_TX), 6u);
}

}  // namespace
}  // namespace faults
