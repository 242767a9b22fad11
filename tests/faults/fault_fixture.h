// SPDX-License-Identifier: GPL-2.0-or-later
// The stage of the fault-injection tests: the real zelk binary between our Rewind
// server simulator and a test partner on loopback, with helpers to start it with
// extra settings, to play calls in both directions and to check that every frame
// of a call arrived once and in order, and to read the daemon's resident memory.
// Every wait is bounded.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "base/big_endian.h"
#include "common/process.h"
#include "local/tlv_class.h"
#include "network/rewind_data.h"
#include "tools/partner/partner_link.h"
#include "tools/rewind_sim/rewind_simulator.h"

namespace faults {

using testing_support::binaryPath;
using testing_support::ChildProcess;
using testing_support::countOccurrences;
using testing_support::freeUdpPort;
using testing_support::TempDir;

constexpr uint32_t kUserID = 3106001;
constexpr int kWaitMs = 15000;
const std::string kSuccessEvent = "{\"topic\":\"trelvane/ZELK/DMR\",\"message\":\"login success\"}";
const std::string kFailureEvent = "{\"topic\":\"trelvane/ZELK/DMR\",\"message\":\"login failure\"}";

inline std::string eventText(const Datagram& d) {
  if (d.size() < 3 || d[0] != TAG_EVENT) return "";
  return std::string(d.begin() + 2, d.end() - 1);
}

inline size_t countEvents(const std::vector<Datagram>& list, const std::string& text) {
  size_t n = 0;
  for (const Datagram& d : list) n += eventText(d) == text ? 1 : 0;
  return n;
}

// Resident memory of a process in kilobytes, -1 when it cannot be read.
inline long residentKb(pid_t pid) {
  FILE* status = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (status == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (fgets(line, sizeof(line), status) != nullptr) {
    if (sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
  }
  fclose(status);
  return kb;
}

// The numbers of the partner's voice bursts (PartnerLink::voice) that reached the
// server, in arrival order.
inline std::vector<uint32_t> burstNumbersAtServer(const RewindSimulator& sim) {
  std::vector<uint32_t> numbers;
  for (const SimPacket& p : sim.packetsOfType(REWIND_TYPE_DMR_VOICE_FRAME)) {
    numbers.push_back(p.payload.size() == REWIND_VOICE_BURST_SIZE ? readBE32(p.payload.data()) : 0xFFFFFFFFu);
  }
  return numbers;
}

// The numbers of the server's voice bursts (RewindSimulator::burstPayload) that
// reached the partner, in arrival order.
inline std::vector<int> burstNumbersAtPartner(const std::vector<Datagram>& received) {
  std::vector<int> numbers;
  for (const Datagram& d : received) {
    if (d.size() != 30 || d[0] != TAG_AMBE_72) continue;
    int index = (d[3] << 8) | d[4];
    uint8_t expected[27];
    RewindSimulator::burstPayload(index, expected);
    numbers.push_back(memcmp(expected, d.data() + 3, 27) == 0 ? index : -1);
  }
  return numbers;
}

// first, first + 1, ..., first + count - 1.
template <typename T>
std::vector<T> countingFrom(T first, size_t count) {
  std::vector<T> numbers;
  for (size_t i = 0; i < count; ++i) numbers.push_back(first + static_cast<T>(i));
  return numbers;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.setPassword("s3cret");
    ASSERT_TRUE(sim.start("127.0.0.1", 0)) << sim.error();
    rxPort = freeUdpPort();
    ASSERT_TRUE(partner.open(0, "127.0.0.1", rxPort));
  }

  std::string settings(const std::string& extra) const {
    return "[ZELK]\nBMAddress = 127.0.0.1\nBMPort = " + std::to_string(sim.port()) +
           "\nBMPassword = s3cret\nAddress = 127.0.0.1\nTXPort = " + std::to_string(partner.port()) +
           "\nRXPort = " + std::to_string(rxPort) + "\nUserID = " + std::to_string(kUserID) +
           "\nStartTG = 91\nLogLevel = 2\n" + extra;
  }

  // Starts zelk with the settings in workDir (the scratch directory when empty),
  // logging into logDir (likewise).
  void startDaemon(const std::string& extra = "", const std::string& workDir = "", const std::string& logDir = "") {
    std::string cwd = workDir.empty() ? dir.path() : workDir;
    FILE* ini = fopen((cwd + "/zelk.ini").c_str(), "w");
    ASSERT_NE(ini, nullptr);
    fputs(settings(extra).c_str(), ini);
    fclose(ini);
    std::vector<std::string> env = daemonEnv;
    env.push_back("ZELK_LOG=" + (logDir.empty() ? dir.path() : logDir));
    zelk = std::make_unique<ChildProcess>(std::vector<std::string>{binaryPath("zelk"), "zelk.ini"}, cwd, env);
  }

  void startAndLogIn(const std::string& extra = "", const std::string& workDir = "", const std::string& logDir = "") {
    startDaemon(extra, workDir, logDir);
    ASSERT_TRUE(partner.waitUntil([](const std::vector<Datagram>& l) { return countEvents(l, kSuccessEvent) >= 1; },
                                  kWaitMs))
        << zelk->output();
    ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_SUBSCRIPTION, 1, kWaitMs));
    // The login's own subscription may come first: wait for the start group's.
    for (int i = 0; i < 100 && sim.subscribedTalkGroup() != 91u; ++i) usleep(50 * 1000);
  }

  // A local call of `voices` bursts numbered from firstSequence, sent at once; waits
  // until its terminator reached the server and checks that every burst arrived
  // once and in order.
  void localCallArrivesWhole(int voices, uint32_t firstSequence = 0) {
    sim.clearPackets();
    partner.sendCall(2345678, 91, voices, 0, "", firstSequence);
    ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_DMR_DATA_BASE + 2, 1, kWaitMs)) << zelk->output();
    EXPECT_EQ(burstNumbersAtServer(sim), countingFrom<uint32_t>(firstSequence, static_cast<size_t>(voices)));
  }

  // A network call of `bursts` bursts played at full speed; waits for its end at the
  // partner and checks that every burst arrived once and in order.
  void networkCallArrivesWhole(int bursts) {
    partner.clear();
    SimCall call;
    call.bursts = bursts;
    call.dmrPace = false;
    ASSERT_TRUE(sim.playCall(call));
    ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, kWaitMs)) << zelk->output();
    EXPECT_EQ(burstNumbersAtPartner(partner.received()), countingFrom<int>(0, static_cast<size_t>(bursts)));
  }

  // Gives the daemon a wall clock that steps ("second:offset,...", see
  // tests/common/stepped_clock.c); set before startDaemon.
  void stepWallClock(const std::string& steps) {
    daemonEnv.push_back("LD_PRELOAD=" + std::string(ZELK_STEPPED_CLOCK));
    daemonEnv.push_back("ZELK_CLOCK_STEPS=" + steps);
    // A sanitizer runtime must otherwise be the first library loaded.
    const char* asan = getenv("ASAN_OPTIONS");
    daemonEnv.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : "") +
                        "verify_asan_link_order=0");
  }

  TempDir dir;
  RewindSimulator sim;
  PartnerLink partner;
  int rxPort = 0;
  std::unique_ptr<ChildProcess> zelk;
  std::vector<std::string> daemonEnv;  // extra "NAME=value" entries for the daemon
};

}  // namespace faults
