// SPDX-License-Identifier: GPL-2.0-or-later
// Network calls over a bad road with the playout buffer on: the real zelk binary
// behind a road relay that loses, delays, doubles or reorders what the simulator
// sends it. The road is seeded, its timing is not: the checks are what reaches
// the partner (every surviving burst once and in order, silence in the place of
// each lost one, one begin and one end a call), never when.
#include <fcntl.h>
#include <string.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <thread>

#include "faults/fault_fixture.h"
#include "network/playout_buffer.h"
#include "tools/road/road_relay.h"

namespace faults {
namespace {

// The first 30 datagrams of this seed's down way pass untouched, so the login
// goes through whatever road follows.
constexpr uint64_t kCleanLoginSeed = 10141;

class PlayoutRoad : public Faults {
 protected:
  void TearDown() override { stopRoad(); }

  // The road between the daemon and the simulator, then the daemon, logged in
  // through it with the playout delay.
  void startOnRoad(const char* down, int playoutMs, const std::string& extra = "") {
    RoadSettings settings;
    settings.server = "127.0.0.1:" + std::to_string(sim.port());
    settings.seed = kCleanLoginSeed;
    std::string error;
    ASSERT_TRUE(parseRoadSpec(down, &settings.down, &error)) << error;
    ASSERT_TRUE(road.open(settings)) << road.error();
    ASSERT_TRUE(stop.open(O_CLOEXEC));
    relay = std::thread([this] { road.run(stop.read.get(), [] { return false; }); });
    const std::string port = road.listenText().substr(road.listenText().rfind(':') + 1);
    startAndLogIn("BMPort = " + port + "\nNetworkJitter = " + std::to_string(playoutMs) + "\n" + extra);
  }

  RoadCounts stopRoad() {
    if (relay.joinable() && write(stop.write.get(), "x", 1) == 1) relay.join();
    return road.counts(RoadWay::Down);
  }

  // The partner's voice messages: the simulator's burst number, -1 for silence.
  std::vector<int> voice() {
    std::vector<int> numbers;
    for (const Datagram& d : partner.received()) {
      if (d.size() != 30 || d[0] != TAG_AMBE_72) continue;
      const bool silence = memcmp(d.data() + 3, PlayoutBuffer::kSilenceBurst, 27) == 0;
      numbers.push_back(silence ? -1 : burstNumbersAtPartner({d})[0]);
    }
    return numbers;
  }

  void expectOneBeginAndEndAround(size_t calls = 1) {
    auto got = partner.received();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front()[0], TAG_BEGIN_TX);
    EXPECT_EQ(got.back(), (Datagram{TAG_END_TX, 1, 1}));
    EXPECT_EQ(PartnerLink::countTag(got, TAG_BEGIN_TX), calls);
    EXPECT_EQ(PartnerLink::countTag(got, TAG_END_TX), calls);
  }

  RoadRelay road;
  UniquePipe stop;
  std::thread relay;
};

TEST_F(PlayoutRoad, DoubledAndReorderedBurstsReachThePartnerOnceAndInOrder) {
  startOnRoad("jitter=40,dup=0.1,reorder=0.1", 360);
  partner.clear();
  SimCall call;
  call.bursts = 100;
  ASSERT_TRUE(sim.playCall(call));
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, kWaitMs)) << zelk->output();
  EXPECT_EQ(voice(), countingFrom<int>(0, 100));
  expectOneBeginAndEndAround();
  const RoadCounts down = stopRoad();
  EXPECT_GT(down.doubled, 0u);
  EXPECT_GT(down.reordered, 0u);
}

TEST_F(PlayoutRoad, LostBurstsArePlayedAsSilenceInTheirPlaceAndCounted) {
  const int statusPort = testing_support::freeTcpPort();
  startOnRoad("loss=0.06,jitter=20", 120, "StatusPort = " + std::to_string(statusPort) + "\n");
  partner.clear();
  SimCall call;
  call.bursts = 150;
  ASSERT_TRUE(sim.playCall(call));
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, kWaitMs)) << zelk->output();
  expectOneBeginAndEndAround();
  // Between two bursts that came, one silence for each burst that did not.
  const std::vector<int> got = voice();
  int last = -1, silences = 0, filled = 0;
  for (int number : got) {
    if (number == -1) {
      ++silences;
      continue;
    }
    ASSERT_GT(number, last);
    EXPECT_EQ(silences, last < 0 ? 0 : number - last - 1) << "before burst " << number;
    filled += silences;
    silences = 0;
    last = number;
  }
  EXPECT_LE(silences, std::max(2, 149 - last));  // after the last: its lost followers, or a lost terminator's
  EXPECT_GT(filled, 0);
  EXPECT_GT(stopRoad().lost, 0u);
  // The call's figures count every silence as filled; nothing came too late to play.
  nlohmann::json status = nlohmann::json::parse(httpGet(statusPort, "/status.json"), nullptr, false);
  ASSERT_TRUE(status.is_object());
  const nlohmann::json& figures = status["last_heard"][0];
  EXPECT_EQ(figures.value("filled", -1), filled + silences) << figures;
  EXPECT_EQ(figures.value("late", -1), 0) << figures;
  EXPECT_GE(figures.value("lost", -1), filled) << figures;
}

TEST_F(PlayoutRoad, BurstsOvertakingTheirHeaderOrTrailingTheirTerminatorOpenNoCall) {
  startOnRoad("", 200);
  partner.clear();
  auto send = [this](uint16_t type, uint32_t sequence, int burst, uint32_t source) {
    std::vector<uint8_t> payload = {0, 0, 0, 0, 0, 91, 0, 0, 0, 0, 0, 0};
    writeBE24(payload.data() + 6, source);
    if (type == REWIND_TYPE_DMR_VOICE_FRAME) {
      payload.resize(27);
      RewindSimulator::burstPayload(burst, payload.data());
    }
    if (type == REWIND_TYPE_DMR_DATA_BASE + 2) payload.clear();
    auto packet = testing_support::rewindPacket(type, REWIND_FLAG_REAL_TIME_1, sequence, payload);
    EXPECT_TRUE(sim.sendRaw(packet.data(), packet.size()));
  };
  const uint16_t H = REWIND_TYPE_DMR_DATA_BASE + 1, B = REWIND_TYPE_DMR_VOICE_FRAME,
                 T = REWIND_TYPE_DMR_DATA_BASE + 2;
  // The first burst ahead of its header; the terminator a turn ahead of the last
  // burst, which comes when the call has ended; then the next caller.
  send(B, 101, 1, 4660);
  send(H, 100, 0, 4660);
  usleep(60 * 1000);
  send(B, 102, 2, 4660);
  usleep(60 * 1000);
  send(B, 103, 3, 4660);
  send(T, 105, 0, 4660);
  usleep(400 * 1000);
  send(B, 104, 4, 4660);
  usleep(200 * 1000);
  send(H, 106, 0, 4661);
  send(B, 107, 5, 4661);
  usleep(60 * 1000);
  send(T, 108, 0, 4661);
  ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 2, kWaitMs)) << zelk->output();
  EXPECT_EQ(voice(), (std::vector<int>{1, 2, 3, 5}));
  expectOneBeginAndEndAround(2);
  auto got = partner.received();
  ASSERT_EQ(got.size(), 8u);
  EXPECT_EQ(readBE24(&got[0][2]), 4660u);
  EXPECT_EQ(got[4], (Datagram{TAG_END_TX, 1, 1}));
  EXPECT_EQ(readBE24(&got[5][2]), 4661u);
  EXPECT_TRUE(zelk->waitForOutput("DMR, ODMR End Tx:DMR frame count was 4 frames\n", kWaitMs));
  EXPECT_EQ(countOccurrences(zelk->output(), "frame count was 1 frames"), 0);
}

}  // namespace
}  // namespace faults
